"""The lnav format file for ferrant's JSON lines.

    lnav -i "$(python -m ferrant.lnav)"

prints the path of the file shipped with the package, and lnav installs it.
Text-layout files go through ``python -m ferrant.to_json`` first.
"""

from pathlib import Path

FORMAT_FILE = Path(__file__).with_name("lnav_format.json")

if __name__ == "__main__":
    print(FORMAT_FILE)
