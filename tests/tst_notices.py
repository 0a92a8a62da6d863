#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The rules of scripts/windows-notices.py on an excerpt of a real link map
of wendrix.exe and two of Qt's qt_attribution.json files
(tests/fixtures/notices/): what the map says the link took, the notices
that owes, and the inputs and Qt entries no rule covers. Seconds, no
Windows toolchain needed.
"""
import argparse
import importlib.util
import os
import sys
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
FIXTURES = os.path.join(ROOT, 'tests', 'fixtures', 'notices')
found = importlib.util.spec_from_file_location('notices', os.path.join(ROOT, 'scripts', 'windows-notices.py'))
notices = importlib.util.module_from_spec(found)
found.loader.exec_module(notices)

QT = '/var/cache/wendrix/windows/qt5'
GCC = '/usr/lib/gcc/x86_64-w64-mingw32/12-posix'
MINGW = '/usr/x86_64-w64-mingw32/lib'
# Every input of tests/fixtures/notices/wendrix.map, lines of a real
# build-win64/wendrix.map.
TAKEN = [
    GCC + '/crtbegin.o',
    GCC + '/crtend.o',
    GCC + '/libgcc.a(_chkstk_ms.o)',
    GCC + '/libgcc_eh.a(unwind-seh.o)',
    GCC + '/libstdc++.a(bad_alloc.o)',
    MINGW + '/crt2.o',
    MINGW + '/libkernel32.a(libkernel32s01599.o)',
    MINGW + '/libmingw32.a(lib64_libmingw32_a-gccmain.o)',
    MINGW + '/libmingwex.a(lib64_libmingwex_a-strtodnrp.o)',
    MINGW + '/libmsvcrt.a(lib64_libmsvcrt_extra_a-__p__fmode.o)',
    MINGW + '/libpthread.a(libwinpthread_la-cond.o)',
    '/var/cache/wendrix/windows/hidapi/lib/libhidapi.a(hid.o)',
    QT + '/lib/libQt5Core.a(adler32.o)',
    QT + '/lib/libQt5Core.a(qstring.o)',
    QT + '/lib/libQt5Gui.a(qimage.o)',
    QT + '/lib/libQt5Widgets.a(qapplication.o)',
    QT + '/lib/libqtfreetype.a(autofit.o)',
    QT + '/lib/libqtfreetype.a(bdf.o)',
    QT + '/plugins/platforms/libqwindows.a(qwindowsintegration.o)',
    'CMakeFiles/wendrix.dir/app/main.cpp.obj',
    'CMakeFiles/wendrix.dir/res/wendrix.rc.res',
    'CMakeFiles/wendrix.dir/var/cache/wendrix/windows/qt5/lib/cmake/Qt5Widgets/'
    'Qt5Widgets_QWindowsVistaStylePlugin_Import.cpp.obj',
    'CMakeFiles/wendrix_core.dir/app/dialog.cpp.obj',
    'CMakeFiles/wendrix_core.dir/wendrix_core_autogen/mocs_compilation.cpp.obj',
]
# The notices they owe, as `owed` prints them: qstring.o owes the Unicode
# tables' notice only when Qt's source has that entry, and the fixture has not.
OWED = [
    ('gcc-runtime.txt', "GCC's runtime libraries", 'linked crtbegin.o'),
    ('GPL-3.0.txt', 'GNU General Public License, version 3', 'Qt.txt and gcc-runtime.txt add to it'),
    ('hidapi.txt', 'hidapi', 'linked libhidapi.a(hid.o)'),
    ('mingw-w64-runtime.txt', 'MinGW-w64 runtime', 'linked crt2.o'),
    ('qt-freetype-bdf.txt', 'Freetype 2 - Bitmap Distribution Format (BDF) support', 'linked libqtfreetype.a(bdf.o)'),
    ('qt-freetype.txt', 'Freetype 2', 'linked libqtfreetype.a(autofit.o)'),
    ('qt-zlib.txt', 'Data Compression Library (zlib)', 'linked libQt5Core.a(adler32.o)'),
    ('Qt.txt', 'Qt', 'linked libQt5Core.a(adler32.o)'),
    ('Wendrix.txt', "Wendrix's own code", 'linked main.cpp.obj'),
    ('winpthreads.txt', 'MinGW-w64 winpthreads', 'linked libpthread.a(libwinpthread_la-cond.o)'),
]


class Notices(unittest.TestCase):
    def owed(self, taken, entries):
        """owed(), its refusal a test failure with the script's own sentence."""
        try:
            return notices.owed(taken, entries)
        except SystemExit as e:
            refusal = e.code
        self.fail(refusal)

    def refusal(self, taken, entries):
        with self.assertRaises(SystemExit) as refused:
            notices.owed(taken, entries)
        return refused.exception.code

    def setUp(self):
        self.entries = notices.qt_attributions(os.path.join(FIXTURES, 'qt'))

    def test_inputs(self):
        """the map's archive members and object files, not its archives or memory map"""
        self.assertEqual(notices.inputs(os.path.join(FIXTURES, 'wendrix.map')), TAKEN)

    def test_owed(self):
        """each input owes its notices, Qt's parts by their entries, and the GPL under Qt"""
        self.assertEqual(self.owed(TAKEN, self.entries), OWED)

    def test_refused(self):
        """an input no rule matches, or a Qt entry with neither rule nor reason, stops the zip"""
        stray = '/var/cache/wendrix/windows/libusb/lib/libusb-1.0.a(core.o)'
        self.assertIn(stray, self.refusal(TAKEN + [stray], self.entries))
        entries = dict(self.entries, libfoo={'Id': 'libfoo', 'Name': 'libfoo', 'dir': FIXTURES})
        self.assertIn('no rule here: libfoo', self.refusal(TAKEN, entries))


if __name__ == '__main__':
    argparse.ArgumentParser(prog='tests/tst_notices.py', description=__doc__,
                            formatter_class=argparse.RawDescriptionHelpFormatter).parse_args()
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(
        unittest.defaultTestLoader.loadTestsFromTestCase(Notices))
    failed = len(result.failures) + len(result.errors)
    print('%d passed, %d failed' % (result.testsRun - failed, failed))
    sys.exit(1 if failed else 0)
