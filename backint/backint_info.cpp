// Backint command line.
