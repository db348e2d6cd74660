#!/bin/sh
# Production-mode script stand-in: notes its start in butterfly.log beside itself and exits.
log="$(dirname "$0")/butterfly.log"
printf '%s butterfly started with %d argument(s)\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$#" >>"$log"
