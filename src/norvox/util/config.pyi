CONFIG_DIR: str

DMP_CONFIG_FILE: str

def load_config() -> dict[str, str | None]:
    """
    Load ~/.velk/dederi.env into the environment when it exists (variables already set win) and return the fourteen settings as the environment holds them, None for unset ones. Without the file and without settings in the environment, print an error line and exit with status 5.
    """

def set_config(env: str) -> None:
    """Make ~/.velk/dederi.env a symbolic link to ~/.velk/dederi.<env>.env."""
