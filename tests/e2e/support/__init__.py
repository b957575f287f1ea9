"""What the end-to-end suites share: the built Updater run as a user without a password entry,
private network namespaces, the simulators as child processes (common), and one module per kind
of suite or simulator (updater, objects, recovery, usb, lpc_rom, imx_rom). run_suite.py runs a
suite for CTest; in_loopback_namespace.sh runs a command in a namespace with only loopback."""
