#!/usr/bin/env bash
# preload-capture.sh PROBE LIBVQSIM
# Runs PROBE with the simulated printer preloaded and checks with tshark that
# the capture holds the status exchange as four bulk records: the request
# (16 bytes out, submitted and completed) and the reply (42 bytes in).
set -euo pipefail
probe=$1
simlib=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

LD_PRELOAD=$simlib VQSIM_CAPTURE=$work/status.pcap "$probe" > "$work/probe.out"
grep -qx 'TemplateRec=0 SysState=2' "$work/probe.out" || { echo "probe said: $(cat "$work/probe.out")"; exit 1; }

tshark -r "$work/status.pcap" -T fields \
    -e usb.urb_type -e usb.transfer_type -e usb.endpoint_address -e usb.urb_len -e usb.data_len \
    > "$work/fields.txt" 2> "$work/tshark.err" || { cat "$work/tshark.err"; exit 1; }

# tshark shows urb_type as 'S'/'C', S/C or their codes 83/67, by version.
normalised=$(sed -e "s/^'\(.\)'/\1/" -e 's/^83\t/S\t/' -e 's/^67\t/C\t/' "$work/fields.txt")
expected=$(printf '%s\n' \
    "S	0x03	0x02	16	16" \
    "C	0x03	0x02	16	0" \
    "S	0x03	0x81	42	0" \
    "C	0x03	0x81	42	42")
if [ "$normalised" != "$expected" ]; then
    echo "tshark listed:"; cat "$work/fields.txt"
    echo "expected:"; echo "$expected"
    exit 1
fi
