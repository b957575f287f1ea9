"""Recovery through the boot ROMs: the Updater's -N and -U -t RECOVER over serial ports and USB,
and the i.MX download loaders through their test drivers."""
