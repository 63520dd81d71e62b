// Settings set by name: the one conversion from the faces' numbers to the fields, one rounding rule.
#include "zorv_git_gitlab/settings.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace zorv_git_gitlab {
namespace {

// A duration given in seconds, to the nearest millisecond, at least one millisecond.
std::chrono::milliseconds milliseconds_of(double seconds) {
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000.0)));
}

template <typename... F>
struct Overload : F... {
    using F::operator()...;
};
template <typename... F>
Overload(F...) -> Overload<F...>;

}  // namespace

double setting_value(const Settings& settings, const SettingDescriptor& setting) {
    return std::visit(Overload{
                          [&](std::chrono::milliseconds Settings::*f) {
                              return static_cast<double>((settings.*f).count()) / 1000.0;
                          },
                          [&](std::chrono::seconds Settings::*f) { return static_cast<double>((settings.*f).count()); },
                          [&](int Settings::*f) { return static_cast<double>(settings.*f); },
                          [&](std::size_t Settings::*f) { return static_cast<double>(settings.*f); },
                          [&](double Settings::*f) { return settings.*f; },
                      },
                      setting.field);
}

void set_setting(Settings& settings, const SettingDescriptor& setting, double value) {
    if (!std::isfinite(value) || value < 0) {
        throw std::invalid_argument(std::string(setting.name) + " must be a finite number not below 0");
    }
    std::visit(Overload{
                   [&](std::chrono::milliseconds Settings::*f) { settings.*f = milliseconds_of(value); },
                   // Counted in whole seconds (libcurl's stall time): a started second counts whole.
                   [&](std::chrono::seconds Settings::*f) {
                       settings.*f = std::chrono::seconds((milliseconds_of(value).count() + 999) / 1000);
                   },
                   [&](int Settings::*f) {
                       settings.*f = static_cast<int>(std::max<long long>(1, std::llround(std::min(value, 1e6))));
                   },
                   [&](std::size_t Settings::*f) { settings.*f = static_cast<std::size_t>(std::min(value, 1e18)); },
                   [&](double Settings::*f) { settings.*f = value; },
               },
               setting.field);
}

void set_setting(Settings& settings, std::string_view name, double value) {
    const SettingDescriptor* setting = find_setting(name);
    if (!setting) throw std::invalid_argument("no limit is named " + std::string(name));
    set_setting(settings, *setting, value);
}

}  // namespace zorv_git_gitlab
