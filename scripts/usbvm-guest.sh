# SPDX-License-Identifier: MIT
# Inside the usbvm virtual machine: the USB gadget that plays the TQR-7 unit,
# and the simulated unit that serves it. Sourced by the command file that
# scripts/usbvm writes; commands run inside may use these functions too.
# shellcheck shell=bash

GADGET=/sys/kernel/config/usb_gadget/tqr7
UDC_NAME=dummy_udc.0
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root XDG_RUNTIME_DIR=/run/user/0
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# The initramfs has loaded the USB modules (scripts/usbvm lists them).
usbvm_modules() {
    mountpoint -q /sys/kernel/config || mount -t configfs configfs /sys/kernel/config
}

# One configuration, one HID function: vendor page, 64-byte input and output
# reports without report ids, as the unit has.
gadget_create() {
    [ -e "$GADGET/configs/c.1/hid.usb0" ] && return 0
    mkdir -p "$GADGET"
    (
        cd "$GADGET" || exit 1
        echo 0x04d8 >idVendor
        echo 0xf29e >idProduct
        echo 0x0100 >bcdDevice
        echo 0x0200 >bcdUSB
        mkdir -p strings/0x409 configs/c.1/strings/0x409 functions/hid.usb0
        echo TQR7GADGET0001 >strings/0x409/serialnumber
        echo "TQR-7 simulator" >strings/0x409/manufacturer
        echo "TQR-7 unit" >strings/0x409/product
        echo "update mode" >configs/c.1/strings/0x409/configuration
        echo 100 >configs/c.1/MaxPower
        echo 0 >functions/hid.usb0/protocol
        echo 0 >functions/hid.usb0/subclass
        echo 64 >functions/hid.usb0/report_length
        printf '\x06\x00\xff\x09\x01\xa1\x01\x19\x01\x29\x40\x15\x00\x26\xff\x00\x75\x08\x95\x40\x81\x00\x19\x01\x29\x40\x91\x00\xc0' \
            >functions/hid.usb0/report_desc
        ln -s functions/hid.usb0 configs/c.1/
    )
}

# The host side's hidraw node, once the host has enumerated the unit.
hidraw_node() {
    local d
    for d in /sys/class/hidraw/hidraw*; do
        [ -e "$d" ] || continue
        grep -q '^HID_ID=0003:000004D8:0000F29E$' "$d/device/uevent" 2>/dev/null && { echo "/dev/${d##*/}"; return 0; }
    done
    return 1
}

# Plug the unit in and wait (up to 20 s) until the host has its hidraw node.
gadget_bind() {
    echo "$UDC_NAME" >"$GADGET/UDC"
    for _ in $(seq 1 200); do
        hidraw_node >/dev/null && [ -e "$(hidraw_node)" ] && return 0
        sleep 0.1
    done
    echo "usbvm: no hidraw node 20 s after binding the gadget" >&2
    return 1
}

gadget_unbind() {
    echo "" >"$GADGET/UDC"
    for _ in $(seq 1 100); do
        hidraw_node >/dev/null || return 0
        sleep 0.1
    done
    return 1
}

# unit_start [VAR=value...]: the simulated unit serving /dev/hidg0, steered
# by the TQR7SIM_* variables of the environment and of the arguments; it
# plugs the unit in itself, unless TQR7SIM_ATTACHED=0.
unit_start() {
    env "$@" "$WENDRIX_BUILD/sim/tqr7gadget" /dev/hidg0 "$GADGET/UDC" "$UDC_NAME" &
    UNIT_PID=$!
    # shellcheck disable=SC2016 # the unit's settings are expanded by that sh
    if [ "$(env "$@" sh -c 'echo ${TQR7SIM_ATTACHED:-1}')" = 0 ]; then
        return 0
    fi
    for _ in $(seq 1 200); do
        if [ -n "$(cat "$GADGET/UDC" 2>/dev/null)" ] && hidraw_node >/dev/null; then
            # The host stamps the file with its own clock: boot to hidraw.
            [ -e "$USBVM_OUT/.usbvm/hidraw" ] || touch "$USBVM_OUT/.usbvm/hidraw"
            return 0
        fi
        kill -0 "$UNIT_PID" 2>/dev/null || { echo "usbvm: the simulated unit ended at start" >&2; return 1; }
        sleep 0.1
    done
    echo "usbvm: no hidraw node 20 s after starting the simulated unit" >&2
    return 1
}

unit_stop() {
    [ -n "${UNIT_PID:-}" ] || return 0
    kill "$UNIT_PID" 2>/dev/null || true
    wait "$UNIT_PID" 2>/dev/null || true
    UNIT_PID=
}

usbvm_prepare() {
    usbvm_modules || return 1
    gadget_create || return 1
    if [ "$USBVM_UNIT" = 1 ]; then
        unit_start || return 1
    fi
}
