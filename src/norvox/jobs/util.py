"""Stand-in for the fleet jobs' shared helper module: `handle_supabase_faliure`."""


def handle_supabase_faliure(log, error) -> None:
    """Logs, through the structured logger `log`, one error event saying that the database
    service could not be reached, with the error."""
    log.error("Could not reach the database service", error=error)
