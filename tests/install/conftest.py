# user_project/ is a user's own project, run by test_install.py against the installed kit only.
collect_ignore = ["user_project"]
