// Answers and GitLab's offset paging.
#include "http.hpp"

#include <algorithm>
#include <map>

namespace zorv_sandbox {

void send_json(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void send_message(httplib::Response& res, int status, const Json& message) {
    send_json(res, status, Json{{"message", message}});
}

void send_error(httplib::Response& res, int status, const std::string& text) {
    send_json(res, status, Json{{"error", text}});
}

void send_empty(httplib::Response& res, int status) {
    res.status = status;
    res.body.clear();
}

Page page_of(const Json& p) {
    Page page;
    auto read = [&](const char* key, std::int64_t fallback) {
        try {
            const auto v = param_int(p, key);
            return v && *v > 0 ? *v : fallback;
        } catch (const ApiError&) {
            throw ApiError::error(400, std::string(key) + " is invalid");
        }
    };
    page.page = read("page", 1);
    page.per_page = std::min<std::int64_t>(read("per_page", 20), 100);
    return page;
}

namespace {

// Ruby's CGI.escape, which Rails' to_query uses: a space becomes '+'.
std::string query_escape(std::string_view text) {
    std::string out;
    for (std::size_t start = 0; start <= text.size();) {
        const auto space = text.find(' ', start);
        out += percent_encode(text.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start));
        if (space == std::string_view::npos) break;
        out += '+';
        start = space + 1;
    }
    return out;
}

}  // namespace

std::string query_href(const httplib::Request& req, const std::map<std::string, std::string>& set,
                       std::initializer_list<std::string_view> drop) {
    std::map<std::string, std::vector<std::string>> query;
    const auto q = req.target.find('?');
    const std::string path = req.target.substr(0, q);
    if (q != std::string::npos) {
        for (auto& [name, value] : form_pairs(std::string_view(req.target).substr(q + 1))) {
            const bool dropped = set.contains(name) || std::find(drop.begin(), drop.end(), name) != drop.end();
            if (!dropped) query[name].push_back(std::move(value));
        }
    }
    for (const auto& [name, value] : set) query[name] = {value};
    std::string out;
    for (const auto& [name, values] : query) {
        for (const auto& v : values) {
            if (!out.empty()) out += '&';
            out += query_escape(name) + '=' + query_escape(v);
        }
    }
    const std::string host = req.local_addr.find(':') != std::string::npos ? "[" + req.local_addr + "]" : req.local_addr;
    return "https://" + host + ":" + std::to_string(req.local_port) + path + "?" + out;
}

namespace {

// The request's address for another page: page and per_page replaced.
std::string page_href(const httplib::Request& req, std::int64_t page, std::int64_t per_page) {
    return query_href(req, {{"page", std::to_string(page)}, {"per_page", std::to_string(per_page)}});
}

}  // namespace

void send_page(const httplib::Request& req, httplib::Response& res, const Json& items, PageOptions options) {
    send_page(req, res, items.size(), [&](std::size_t i) { return items[i]; }, options);
}

void send_page(const httplib::Request& req, httplib::Response& res, std::size_t count,
               const std::function<Json(std::size_t)>& item, PageOptions options) {
    const Page page = page_of(params(req));
    const auto total = static_cast<std::int64_t>(count);
    Json slice = Json::array();
    const auto first = std::min<std::int64_t>(static_cast<std::int64_t>(page.offset()), total);
    const auto last = std::min<std::int64_t>(first + page.per_page, total);
    for (auto i = first; i < last; ++i) slice.push_back(item(static_cast<std::size_t>(i)));

    // Past 10,000 records GitLab stops counting (Gitlab::Pagination::OffsetPagination, MAX_COUNT_LIMIT):
    // no X-Total, X-Total-Pages or rel="last", and a next page whenever records follow this one.
    const bool counted = options.count_total && total <= kMaxCountedRecords;
    std::optional<std::int64_t> next;
    std::optional<std::int64_t> prev;
    const std::int64_t total_pages = (total + page.per_page - 1) / page.per_page;  // 0 when empty
    if (counted) {
        const bool out_of_range = page.page > total_pages;
        if (!out_of_range && page.page < total_pages) next = page.page + 1;
        if (!out_of_range && page.page > 1) prev = page.page - 1;
    } else if (options.count_total) {
        if (last < total) next = page.page + 1;
        if (page.page > 1) prev = page.page - 1;
    } else {
        if (static_cast<std::int64_t>(slice.size()) == page.per_page) next = page.page + 1;
        if (page.page > 1) prev = page.page - 1;
    }

    std::string link;
    auto add_link = [&](std::int64_t p, const char* rel) {
        if (!link.empty()) link += ", ";
        link += "<" + page_href(req, p, page.per_page) + ">; rel=\"" + rel + "\"";
    };
    if (prev) add_link(*prev, "prev");
    if (next) add_link(*next, "next");
    add_link(1, "first");
    if (counted) add_link(std::max<std::int64_t>(total_pages, 1), "last");

    res.set_header("X-Per-Page", std::to_string(page.per_page));
    res.set_header("X-Page", std::to_string(page.page));
    res.set_header("X-Next-Page", next ? std::to_string(*next) : "");
    res.set_header("X-Prev-Page", prev ? std::to_string(*prev) : "");
    res.set_header("Link", link);
    if (counted) {
        res.set_header("X-Total", std::to_string(total));
        res.set_header("X-Total-Pages", std::to_string(std::max<std::int64_t>(total_pages, 1)));
    }
    send_json(res, 200, slice);
}

}  // namespace zorv_sandbox
