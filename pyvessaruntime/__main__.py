"""The demo: one run against the emulator, printing what each step returns."""

from pyvessaruntime import pyvessaruntime as native


def main() -> None:
    native._startup_vessaruntime()
    try:
        print("SSO policy:", native.get_sso_policy())
    finally:
        native._shutdown_vessaruntime()
    print("runtime shut down")


if __name__ == "__main__":
    main()
