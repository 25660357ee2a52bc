"""Runs protoc with the gRPC plugin to generate messages and gRPC stubs."""



def fix_imports() -> None:
    """Fixes imports in the generated code to use relative imports."""

def main() -> None:
    """
    Program block of the stub_generator console script: fixes the imports of the code that loading the module generated.
    """
