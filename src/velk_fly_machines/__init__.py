"""Stand-in for the Fly Machines platform client library."""
