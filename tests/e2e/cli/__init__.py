"""The command-line tool end to end: the built Updater against the simulated modules, buses and
update server, and its installation."""
