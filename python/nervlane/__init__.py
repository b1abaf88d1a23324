"""Command-line tools and a virtual sensor for nervlane_comm_py."""
