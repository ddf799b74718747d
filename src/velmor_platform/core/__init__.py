"""Product core and the host services it relies on."""
