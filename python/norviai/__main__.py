"""The `norviai` command: `norviai ask`, `norviai graph`, `norviai demo`."""

import sys


def main():
    from norviai import cli

    return cli.main(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
