# SPDX-License-Identifier: MIT
"""The desktop portal's Inhibit for the tests, as python3-dbusmock's template
(python3 -m dbusmock --template tests/support/portalmock.py): Inhibit hands
out a request, as the real portal does, and the request's Close ends the
inhibition. The mock's own ListInhibitions says which are open, as
(flags, reason) pairs."""
import itertools

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.Inhibit'
SYSTEM_BUS = False

inhibitions = {}
numbers = itertools.count(1)


def load(mock, parameters):  # pylint: disable=unused-argument
    pass


@dbus.service.method(MAIN_IFACE, in_signature='sua{sv}', out_signature='o')
def Inhibit(self, window, flags, options):  # pylint: disable=unused-argument
    path = '/org/freedesktop/portal/desktop/request/wendrix/%d' % next(numbers)
    inhibitions[path] = (dbus.UInt32(flags), dbus.String(options.get('reason', '')))

    def close(request):
        inhibitions.pop(path, None)
        request.RemoveObject(path)

    self.AddObject(path, 'org.freedesktop.portal.Request', {}, [('Close', '', '', close)])
    return dbus.ObjectPath(path)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='a(us)')
def ListInhibitions(self):  # pylint: disable=unused-argument
    return dbus.Array(list(inhibitions.values()), signature='(us)')
