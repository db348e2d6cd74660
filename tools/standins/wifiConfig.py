#!/usr/bin/env python3
"""Wi-Fi script stand-in with the command line and output contract of the printer's script.

    wifiConfig.py scan                  one line of JSON: the networks in reach
    wifiConfig.py connect SSID PASS     "Connected to wifi: SSID", or
                                        "Connected to wifi: None" when PASS is "wrong";
                                        when PASS is "hang", it never answers nor ends
                                        (a network that never hands out an address)

The SSID is printed as it arrived (the daemon writes its blanks as "++"). Every call
appends its argument vector as one JSON line to wifiConfig.log beside this script, so
tests can check what reached it.
"""

import json
import os
import sys
import time

NETWORKS = [
    {"ssid": "Workshop", "signal": 82, "secured": True},
    {"ssid": "Guest Net", "signal": 47, "secured": False},
    {"ssid": "Lab \"5G\"", "signal": 31, "secured": True},
]


def record(argv):
    log = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wifiConfig.log")
    with open(log, "a") as f:
        f.write(json.dumps(argv) + "\n")


def main(argv):
    record(argv)
    if len(argv) == 1 and argv[0] == "scan":
        print(json.dumps(NETWORKS, separators=(",", ":")), flush=True)
        return 0
    if len(argv) == 3 and argv[0] == "connect":
        ssid, passphrase = argv[1], argv[2]
        print("Trying network " + ssid, flush=True)
        if passphrase == "hang":
            while True:
                time.sleep(3600)
        print("Connected to wifi: " + ("None" if passphrase == "wrong" else ssid), flush=True)
        return 0
    print("usage: wifiConfig.py scan | connect SSID PASS", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
