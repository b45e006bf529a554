// The update check.
