# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2034
# The window's texts for the scripts, each as tests/support/texts.h has it
# under the same name; scripts/lint fails when the two disagree.
kNotConnected="Device not connected"
kNotInUpdateMode="Device Not in Firmware Update Mode!!"
kReady="Ready For Update"
kComplete="Update Complete. Power Cycle Unit!"
kCommsError="Operation Failed: Internal Comms Error"
kNoResponse="No response received from unit!"
kFileError="Operation Failed: Firmware File Error"
