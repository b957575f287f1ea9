"""The simulators on their own, and against independent hosts where Debian has them."""
