"""What the Python test scripts share: each check prints one line, "ok" or
"FAIL", and a subcommand ends with finish(), whose status counts the
failures; main() runs the subcommand that argv names. SKIP is CTest's skip
status (the tests set SKIP_RETURN_CODE 77)."""
import sys

SKIP = 77
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)
    return ok


def finish():
    print(f"{len(failures)} failed")
    return 1 if failures else 0


def main(script, commands, argv):
    """Runs commands[argv[1]], a (function, number of arguments) pair, on argv[2:]."""
    if len(argv) < 2 or argv[1] not in commands or len(argv) - 2 != commands[argv[1]][1]:
        sys.exit(f"usage: {script} {'|'.join(commands)} ARGS...")
    return commands[argv[1]][0](*argv[2:])
