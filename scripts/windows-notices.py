#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The notices wendrix.exe owes, found in its link map.

A static wendrix.exe holds whatever the linker took from Qt, hidapi and the
MinGW-w64 and GCC runtimes. The link map (-Map, see cmake/windows.cmake)
names each archive member taken and each object file loaded; every one must
match a rule below, so a library linked in later without a notice stops the
zip. Qt's own third-party code is known from the qt_attribution.json files
of its source: each entry there has a rule (the Qt objects that carry it)
or the reason the Windows build never carries it, and an entry without
either stops the zip too.

The texts come from the sources the build used: Qt's and hidapi's Debian
source packages in the Windows toolchain cache (WENDRIX_WINDOWS_CACHE,
default /var/cache/wendrix/windows), Debian's copyright files of the MinGW-w64
and GCC packages, libstdc++'s headers, and LICENSE here.
"""
import argparse
import glob
import json
import os
import re
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
CACHE = os.environ.get('WENDRIX_WINDOWS_CACHE', '/var/cache/wendrix/windows')


def core(*members):
    return r'/libQt5Core\.a\((%s)\.o\)' % '|'.join(members)


def gui(*members):
    return r'/libQt5Gui\.a\((%s)\.o\)' % '|'.join(members)


# Qt's third-party code, by the Id of its qt_attribution.json entry: the link
# map inputs that carry it, the objects built from its files or from the Qt
# sources that #include them.
QT_PARTS = {
    'zlib': core('adler32', 'compress', 'crc32', 'deflate', 'gzclose', 'gzlib', 'gzread', 'gzwrite',
                 'infback', 'inffast', 'inflate', 'inftrees', 'trees', 'uncompr', 'zutil'),
    'doubleconversion': core('bignum', 'bignum-dtoa', 'cached-powers', 'diy-fp', 'double-conversion',
                             'fast-dtoa', 'fixed-dtoa', 'strtod'),
    'harfbuzz': core(r'harfbuzz-[\w-]+'),
    'harfbuzz-ng': r'/libqtharfbuzz\.a\(',
    'pcre2': r'/libqtpcre2\.a\(',
    'pcre2-sljit': r'/libqtpcre2\.a\(pcre2_jit_compile\.o\)',
    'libpng': r'/libqtlibpng\.a\(',
    'libjpeg': r'/libqtlibjpeg\.a\(',
    'freetype': r'/libqtfreetype\.a\(',
    'freetype-zlib': r'/libqtfreetype\.a\(ftgzip\.o\)',
    'freetype-bdf': r'/libqtfreetype\.a\(bdf\.o\)',
    'freetype-pcf': r'/libqtfreetype\.a\(pcf\.o\)',
    'md4c': gui('md4c'),
    'tinycbor': core('qcborstreamreader', 'qcborstreamwriter', 'qcborcommon'),
    # qcryptographichash.cpp includes the hash implementations.
    'md4': core('qcryptographichash'),
    'md5': core('qcryptographichash'),
    'sha1': core('qcryptographichash'),
    'sha3_endian': core('qcryptographichash'),
    'sha3_keccak': core('qcryptographichash'),
    'rfc6234': core('qcryptographichash'),
    'easing': core('qeasingcurve'),
    'freebsd': core('qlocale_tools'),
    'forkfd': core('forkfd_qt'),
    # qstring.cpp includes qchar.cpp, which includes qunicodetables.cpp.
    'unicode-character-database': core('qstring', 'qchar', 'qunicodetables'),
    'unicode-cldr': core('qlocale', 'qtimezoneprivate'),
    'qbig5codecs': core('qbig5codec'),
    'qeucjpcodec': core('qeucjpcodec'),
    'qeuckrcodec': core('qeuckrcodec'),
    'qjiscodec': core('qjiscodec', 'qjpunicode'),
    'qsjiscodec': core('qsjiscodec'),
    'qtsciicodec': core('qtsciicodec'),
    'qbkcodec': core('qgb18030codec'),
    'psl': core('qtldurl'),
    'grayraster': gui('qgrayraster'),
    'smooth-scaling-algorithm': gui(r'qimagescale\w*'),
    'webgradients': gui('qrc_qmake_webgradients'),
    'xserverhelper': gui('qregion'),
    'aglfn': gui('qfontsubset'),
    'icc-sRGB-color-profile': gui('qpdf', 'qrc_qpdf'),
    'pixman': gui(r'\w*neon\w*'),
    'cycle': r'/libQt5Test\.a\(',
}
# Those the Windows build never carries, and why.
QT_ABSENT = {
    'valgrind': 'used on Linux and macOS only',
    'linuxperf': 'used on Linux and Android only',
    'qeventdispatcher_cf': 'used on macOS only',
    'cocoa-platform-plugin': 'used on macOS only',
    'android-native-style': 'used on Android only',
    'android-gradle-wrapper': 'used on Android only',
    'vera_font': 'used on WebAssembly only',
    'dejayvu': 'used on WebAssembly only',
    'xcb-xinput': 'used on X11 only',
    'libdbus-1-headers': 'Qt is configured with -no-dbus',
    'VulkanMemoryAllocator': 'Qt is configured without Vulkan',
    'vulkan-xml-spec': 'Qt is configured without Vulkan',
    'opengl-headers': 'Qt is configured with -no-opengl',
    'opengl-es2-headers': 'Qt is configured with -no-opengl',
    'angle': 'Qt is configured with -no-opengl',
    'angle-arrayboundsclamper': 'Qt is configured with -no-opengl',
    'angle-murmurhash': 'Qt is configured with -no-opengl',
    'angle-systeminfo': 'Qt is configured with -no-opengl',
    'angle-trace_event': 'Qt is configured with -no-opengl',
    'angle-khronos': 'Qt is configured with -no-opengl',
}

MINGW_LIB = r'/x86_64-w64-mingw32/lib/'
GCC_LIB = r'/gcc/x86_64-w64-mingw32/[^/]+/'
MINGW_COPYRIGHT = '/usr/share/doc/mingw-w64-x86-64-dev/copyright'
GCC_COPYRIGHT = '/usr/share/doc/gcc-mingw-w64-base/copyright'
STL_HEADER = '/usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++/bits/stl_algo.h'

# The notices beside Qt's parts: file, what it covers, the inputs that owe it.
OTHER = [
    ('Wendrix.txt', "Wendrix's own code", r'^CMakeFiles/'),
    ('Qt.txt', 'Qt', r'/qt5/lib/+libQt5\w+\.a\(|/qt5/lib/+libqtmain\.a\(|/qt5/plugins/'),
    # Qt's copy of freedesktop.org's MIME database, compressed into Qt Core:
    # the .qtmimedatabase section of wendrix.exe.
    ('qt-mime-database.txt', 'Shared MIME-info Database', core('qmimeprovider')),
    ('hidapi.txt', 'hidapi', r'/hidapi/lib/libhidapi\.a\('),
    ('winpthreads.txt', 'MinGW-w64 winpthreads', MINGW_LIB + r'lib(win)?pthread\.a\('),
    ('mingw-w64-runtime.txt', 'MinGW-w64 runtime',
     MINGW_LIB + r'(crt2\.o$|lib(?!(win)?pthread\.a)[\w+-]+\.a\()'),
    ('gcc-runtime.txt', "GCC's runtime libraries",
     GCC_LIB + r'(crtbegin\.o$|crtend\.o$|lib(gcc|gcc_eh|stdc\+\+|supc\+\+)\.a\()'),
]
# The GNU GPL, version 3: the LGPL Qt is under and GCC's runtime exception
# add to it.
GPL_FOR = ('Qt.txt', 'gcc-runtime.txt')


def fail(sentence):
    sys.exit('windows-notices: ' + sentence)


def read(path):
    try:
        with open(path, encoding='utf-8', errors='replace') as f:
            return f.read()
    except OSError as e:
        fail('cannot read %s: %s' % (path, e.strerror))


def save(path, text):
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w', encoding='utf-8') as f:
            f.write(text)
    except OSError as e:
        fail('cannot write %s: %s' % (path, e.strerror))


def inputs(map_path):
    """Each input the link took: "archive(member)" or an object file."""
    found = []
    # "archive(member)" starts a line of the map's first part; the reason it
    # was taken follows on that line or the next.
    member = re.compile(r'^(\S+\.a)\(([^()\s]+)\)(\s|$)')
    for line in read(map_path).split('\n'):
        m = member.match(line)
        if m:
            found.append('%s(%s)' % (os.path.normpath(m.group(1)), m.group(2)))
        elif line.startswith('LOAD ') and not line.endswith('.a') and '/' in line:
            found.append(os.path.normpath(line[5:].strip()))
    if not found:
        fail('%s names no archive member and no object file: it is not the link map of ld -Map' % map_path)
    return sorted(set(found))


def cached(pattern):
    """The one file or folder of the toolchain cache's sources matching PATTERN."""
    found = glob.glob(os.path.join(CACHE, 'src', pattern))
    if len(found) != 1:
        fail('the notices are taken from the sources in %s/src, which has no single %s; '
             'remove %s/ready and run scripts/windows-toolchain' % (CACHE, pattern, CACHE))
    return found[0]


def qt_attributions(qt):
    """{Id: entry, with 'dir' added} from every qt_attribution.json."""
    entries = {}
    paths = glob.glob(os.path.join(qt, '**', 'qt_attribution.json'), recursive=True)
    if not paths:
        fail('%s has no qt_attribution.json to say what third-party code Qt holds' % qt)
    for path in paths:
        try:
            data = json.loads(read(path), strict=False)
        except ValueError as e:
            fail('%s is not JSON as Qt writes it: %s' % (path, e))
        for entry in data if isinstance(data, list) else [data]:
            missing = [key for key in ('Id', 'Name', 'License', 'Copyright') if key not in entry]
            if missing:
                fail('%s has an entry with no %s' % (path, ' and no '.join(missing)))
            entry['dir'] = os.path.dirname(path)
            entries[entry['Id']] = entry
    return entries


def owed(taken, entries):
    """[(notice file, what it covers, first input owing it)], in order, for
    the inputs taken and Qt's attribution entries."""
    unruled = sorted(set(entries) - set(QT_PARTS) - set(QT_ABSENT))
    if unruled:
        fail('Qt attributions with no rule here: %s' % ', '.join(unruled))
    rules = OTHER + [('qt-%s.txt' % ident, entries[ident]['Name'], rule)
                     for ident, rule in sorted(QT_PARTS.items()) if ident in entries]
    result = {}
    unknown = []
    for item in taken:
        matched = [(name, what) for name, what, rule in rules if re.search(rule, item)]
        for name, what in matched:
            result.setdefault(name, (name, what, 'linked ' + re.sub(r'^.*/', '', item)))
        if not matched:
            unknown.append(item)
    if unknown:
        fail('linked into wendrix.exe with no notice known:\n  ' + '\n  '.join(unknown[:20]))
    if any(name in result for name in GPL_FOR):
        result['GPL-3.0.txt'] = ('GPL-3.0.txt', 'GNU General Public License, version 3',
                                 'Qt.txt and gcc-runtime.txt add to it')
    return [result[name] for name in sorted(result, key=str.lower)]


def debian_source(pattern):
    """("name", "version") of a Debian source package in the cache."""
    dsc = cached(pattern)
    fields = dict(re.findall(r'^(Source|Version): (\S+)$', read(dsc), re.M))
    if len(fields) != 2:
        fail('%s has no Source or no Version field' % dsc)
    return fields['Source'], fields['Version']


def installed_source(package):
    """("name", "version") of the Debian source package an installed package came from."""
    out = subprocess.run(['dpkg-query', '-W', '-f=${source:Package} ${source:Version}', package],
                         capture_output=True, text=True).stdout.split()
    if len(out) != 2:
        fail('the Debian package %s is not installed: its copyright file and version are in the notices'
             % package)
    return out[0], out[1]


def dep5_paragraphs(text):
    return [dict(re.findall(r'^(\S+):[ \t]*(.*(?:\n[ \t].*)*)', p, re.M)) for p in text.split('\n\n')]


def winpthreads_paragraphs(copyright_text):
    """The winpthreads paragraphs of Debian's mingw-w64 copyright, with their licenses."""
    paragraphs = dep5_paragraphs(copyright_text)
    chosen = [p for p in paragraphs if 'winpthreads' in p.get('Files', '')
              and 'tests_pthread' not in p.get('Files', '')]
    # A license whose text is not in its Files paragraph has a paragraph of its own.
    licenses = {p['License'].strip() for p in chosen if '\n' not in p['License']}
    texts = [p for p in paragraphs if 'Files' not in p and 'License' in p
             and p['License'].split('\n')[0].strip() in licenses]
    if not chosen or len(texts) != len(licenses):
        fail('%s has no winpthreads paragraphs with their licenses' % MINGW_COPYRIGHT)
    out = []
    for p in chosen + texts:
        out.append('\n'.join('%s: %s' % (k, v) for k, v in p.items()))
    return '\n\n'.join(out) + '\n'


def runtime_exception(copyright_text):
    m = re.search(r'^GCC RUNTIME LIBRARY EXCEPTION$.*?copyleft\s+requirements of the license of GCC\.$',
                  copyright_text, re.M | re.S)
    if not m:
        fail('%s has no GCC Runtime Library Exception' % GCC_COPYRIGHT)
    return m.group(0) + '\n'


def stl_notice():
    """The HP and SGI permission notices libstdc++'s STL headers carry."""
    headers = glob.glob(STL_HEADER)
    if not headers:
        fail('no %s for the notice of libstdc++\'s STL' % STL_HEADER)
    m = re.search(r'/\*\n(.*?Hewlett-Packard.*?)\*/', read(headers[0]), re.S)
    if not m:
        fail('%s has no Hewlett-Packard notice' % headers[0])
    return re.sub(r'^ \* ?', '', m.group(1), flags=re.M).strip() + '\n'


def header(title, lines):
    rule = '=' * len(title)
    return '%s\n%s\n\n%s\n\n' % (title, rule, '\n'.join(lines))


# One function per kind of notice: its text, and the license and version
# INDEX.txt gives it.
def wendrix_notice():
    return header('Wendrix', ["Wendrix's own code, under the MIT license."]) \
        + read(os.path.join(ROOT, 'LICENSE')), 'MIT', ''


def qt_notice(qt, qt_pkg):
    version = os.path.basename(qt).split('-')[-1].split('+')[0]
    return header('Qt %s' % version, [
        'Qt Core, Qt Gui, Qt Widgets and the plugins wendrix.exe uses (the',
        'Windows platform, the Windows Vista style, the ICO image format),',
        'built from the Debian source package %s %s.' % qt_pkg,
        'Qt is under the GNU Lesser General Public License, version 3, below;',
        'it adds to the GNU General Public License, version 3, in GPL-3.0.txt.',
        'README.txt says where the source is and how to rebuild wendrix.exe',
        'with a changed Qt.']) + read(os.path.join(qt, 'LICENSE.LGPL3')), 'LGPL-3.0', '%s %s' % qt_pkg


def gpl_notice(qt):
    return read(os.path.join(qt, 'LICENSE.GPL3')), 'GPL-3.0', ''


def mime_database_notice(qt, qt_pkg):
    return header('Shared MIME-info Database', [
        "freedesktop.org's database of file types, as Qt carries it",
        '(src/corelib/mimetypes/mime/packages/freedesktop.org.xml in the',
        'Debian source package %s %s) and compresses into Qt Core.' % qt_pkg,
        "Debian's copyright file for that package lists it under Qt's own",
        'licenses; the shared-mime-info project distributes the database',
        'under the GNU General Public License, version 2 or later, below.']) \
        + read(os.path.join(qt, 'LICENSE.GPL2')), 'GPL-2.0-or-later', ''


def qt_part_notice(qt, qt_pkg, entry):
    """One of Qt's third-party parts, from its qt_attribution.json entry."""
    lines = ['%s, as Qt carries it (%s in the' % (entry['Name'], os.path.relpath(entry['dir'], qt)),
             'Debian source package %s %s).' % qt_pkg]
    if entry.get('Version'):
        lines.append('Version: %s' % entry['Version'])
    lines.append('License: %s' % entry['License'])
    lines.append('Copyright: %s' % entry['Copyright'].replace('\n', '\n  '))
    text = header(entry['Name'], lines)
    if entry.get('LicenseFile'):
        text += read(os.path.normpath(os.path.join(entry['dir'], entry['LicenseFile'])))
        # FreeType's LICENSE.TXT offers a choice; the FreeType License it names is FTL.TXT.
        if entry['Id'] in ('freetype', 'grayraster'):
            text += '\n' + read(os.path.join(qt, 'src', '3rdparty', 'freetype', 'docs', 'FTL.TXT'))
    version = 'version %s' % entry['Version'] if entry.get('Version') else ''
    return text, entry.get('LicenseId') or entry['License'], version


def hidapi_notice():
    hidapi_pkg = debian_source('hidapi_*.dsc')
    hidapi = cached('hidapi-*')
    return header('hidapi %s' % hidapi_pkg[1].split('-')[0], [
        "hidapi's Windows back end (windows/hid.c), built from the Debian",
        'source package %s %s. hidapi is offered under three licenses' % hidapi_pkg,
        '(LICENSE.txt, below); Wendrix uses it under the BSD-style license,',
        'LICENSE-bsd.txt, below that.']) \
        + read(os.path.join(hidapi, 'LICENSE.txt')) + '\n' + read(os.path.join(hidapi, 'LICENSE-bsd.txt')), \
        'BSD-3-Clause', '%s %s' % hidapi_pkg


def mingw_runtime_notice():
    mingw_pkg = installed_source('mingw-w64-x86-64-dev')
    return header('MinGW-w64 runtime', [
        'The start-up code (crt2.o), the C runtime support (libmingw32,',
        'libmingwex, libmsvcrt) and the import libraries of Windows DLLs, from',
        'the Debian package mingw-w64-x86-64-dev, source package %s %s.' % mingw_pkg,
        "Below is Debian's copyright file of that package; it names the",
        'license of each part.']) + read(MINGW_COPYRIGHT), \
        'ZPL-2.1, public domain and others', '%s %s' % mingw_pkg


def winpthreads_notice():
    mingw_pkg = installed_source('mingw-w64-x86-64-dev')
    return header('MinGW-w64 winpthreads', [
        'The POSIX threads library (libwinpthread), from the Debian package',
        'mingw-w64-x86-64-dev, source package %s %s: its paragraphs of' % mingw_pkg,
        "Debian's copyright file, with their licenses."]) + winpthreads_paragraphs(read(MINGW_COPYRIGHT)), \
        'MIT (Expat), BSD-3-Clause and public domain', '%s %s' % mingw_pkg


def gcc_runtime_notice():
    gcc_pkg = installed_source('g++-mingw-w64-x86-64-posix')
    return header("GCC's runtime libraries", [
        'libgcc, libgcc_eh, libstdc++ and crtbegin.o/crtend.o, from the Debian',
        'packages of the MinGW-w64 GCC, source package %s %s.' % gcc_pkg,
        'They are under the GNU General Public License, version 3 (GPL-3.0.txt),',
        'with the GCC Runtime Library Exception, version 3.1, below, which',
        'lets wendrix.exe carry them under its own terms. libstdc++ also',
        'carries the Hewlett-Packard and Silicon Graphics notices after it.']) \
        + runtime_exception(read(GCC_COPYRIGHT)) + '\n' + stl_notice(), \
        'GPL-3.0 with GCC-exception-3.1', '%s %s' % gcc_pkg


def write(notices, qt, entries, folder):
    """Each notice owed as a file in FOLDER, and INDEX.txt listing them."""
    qt_pkg = debian_source('qtbase-opensource-src_*.dsc')
    kinds = {
        'Wendrix.txt': wendrix_notice,
        'Qt.txt': lambda: qt_notice(qt, qt_pkg),
        'GPL-3.0.txt': lambda: gpl_notice(qt),
        'qt-mime-database.txt': lambda: mime_database_notice(qt, qt_pkg),
        'hidapi.txt': hidapi_notice,
        'mingw-w64-runtime.txt': mingw_runtime_notice,
        'winpthreads.txt': winpthreads_notice,
        'gcc-runtime.txt': gcc_runtime_notice,
    }
    index = [header('Licenses of what wendrix.exe contains', [
        'wendrix.exe is linked statically: besides Wendrix\'s own code it holds',
        'the parts of the libraries below that it uses. Each file here has the',
        'notice and license of one of them. The list is made from the link map',
        'of this wendrix.exe.'])]
    for name, what, evidence in notices:
        if name in kinds:
            text, license_name, version = kinds[name]()
        else:
            text, license_name, version = qt_part_notice(qt, qt_pkg, entries[name[len('qt-'):-len('.txt')]])
        save(os.path.join(folder, name), text)
        index.append('%s\n    %s%s\n    %s\n    %s\n' % (
            name, what, (', ' + version) if version else '', license_name, evidence))
    save(os.path.join(folder, 'INDEX.txt'), '\n'.join(index))


def sources():
    """The Debian source packages wendrix.exe is built from: KEY name version."""
    return [('QTBASE',) + debian_source('qtbase-opensource-src_*.dsc'),
            ('HIDAPI',) + debian_source('hidapi_*.dsc'),
            ('MINGW',) + installed_source('mingw-w64-x86-64-dev'),
            ('GCC',) + installed_source('g++-mingw-w64-x86-64-posix')]


def main():
    prog = 'scripts/windows-notices.py'
    parser = argparse.ArgumentParser(prog=prog, usage='%(prog)s [-h] {owed MAP | write MAP FOLDER | sources}',
                                     description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(prog=prog, dest='command', required=True, metavar='COMMAND')
    command = commands.add_parser('owed', help='the notice files the link map MAP makes owed, one a line, '
                                  'with the input that owes each')
    command.add_argument('map', metavar='MAP')
    command = commands.add_parser('write', help='writes them into FOLDER, and INDEX.txt')
    command.add_argument('map', metavar='MAP')
    command.add_argument('folder', metavar='FOLDER')
    commands.add_parser('sources', help='the Debian source packages of what wendrix.exe holds, by version')
    args = parser.parse_args()
    if args.command == 'sources':
        for key, name, version in sources():
            print(key, name, version)
        return
    taken = inputs(args.map)
    qt = cached('qtbase-opensource-src-*')
    entries = qt_attributions(qt)
    if args.command == 'owed':
        for notice in owed(taken, entries):
            print('\t'.join(notice))
    else:
        write(owed(taken, entries), qt, entries, args.folder)


if __name__ == '__main__':
    main()
