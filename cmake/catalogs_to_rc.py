#!/usr/bin/env python3
"""Turns the translation catalogs into string tables for the Windows program.

    catalogs_to_rc.py OUTPUT.rc LL.mo...

Reads the compiled catalogs (msgfmt has checked them) and writes one
STRINGTABLE per language under its LANGUAGE statement, plus the English texts
themselves: string 1000 + i is the i-th English text in sorted order, in
every language, so the program finds a text's number in the English table and
its translation under the same number in the user's UI language
(src/platform/win32/language_win32.cc). Output is the same for the same
catalogs, byte for byte.
"""
import os
import struct
import sys

FIRST_ID = 1000
# Primary language identifiers (winnt.h LANG_*), by catalog name.
PRIMARY = {'en': 0x09, 'de': 0x07, 'fr': 0x0C, 'es': 0x0A, 'it': 0x10, 'nl': 0x13, 'pl': 0x15,
           'pt': 0x16, 'cs': 0x05, 'da': 0x06, 'sv': 0x1D, 'fi': 0x0B, 'hu': 0x0E, 'tr': 0x1F}


def read_mo(path):
    data = open(path, 'rb').read()
    magic = struct.unpack('<I', data[:4])[0]
    order = '<' if magic == 0x950412de else '>'
    _, count, ids_at, strs_at = struct.unpack(order + '4I', data[4:20])
    entries = {}
    for i in range(count):
        id_len, id_off = struct.unpack(order + '2I', data[ids_at + 8 * i:ids_at + 8 * i + 8])
        str_len, str_off = struct.unpack(order + '2I', data[strs_at + 8 * i:strs_at + 8 * i + 8])
        msgid = data[id_off:id_off + id_len].decode('utf-8')
        if msgid:  # the header
            entries[msgid] = data[str_off:str_off + str_len].decode('utf-8')
    return entries


def rc_string(text):
    out = []
    for ch in text:
        if ch == '"':
            out.append('""')
        elif ch == '\\':
            out.append('\\\\')
        elif ch == '\n':
            out.append('\\n')
        elif ch == '\t':
            out.append('\\t')
        elif ord(ch) < 0x20:
            sys.exit('catalogs_to_rc: control character %r in %r' % (ch, text))
        else:
            out.append(ch)
    return '"' + ''.join(out) + '"'


def table(lines, primary, name, texts):
    lines.append('')
    lines.append('// %s' % name)
    lines.append('LANGUAGE 0x%02X, 0x00' % primary)
    lines.append('STRINGTABLE')
    lines.append('BEGIN')
    for i, text in enumerate(texts):
        lines.append('    %d, %s' % (FIRST_ID + i, rc_string(text)))
    lines.append('END')


def main():
    if len(sys.argv) < 2:
        sys.exit('usage: catalogs_to_rc.py OUTPUT.rc LL.mo...')
    catalogs = {}
    for path in sys.argv[2:]:
        # <build>/locale/LL/LC_MESSAGES/kelvo-upgrader.mo
        language = os.path.basename(os.path.dirname(os.path.dirname(path)))
        if language not in PRIMARY:
            sys.exit('catalogs_to_rc: no Windows language number for %s (add it to PRIMARY)' % language)
        catalogs[language] = read_mo(path)
    english = sorted(set().union(*catalogs.values())) if catalogs else []
    lines = ['// Made by the build from po/*.po (cmake/catalogs_to_rc.py): do not edit.',
             '#pragma code_page(65001)']
    table(lines, PRIMARY['en'], 'en', english)
    for language in sorted(catalogs):
        entries = catalogs[language]
        # A text a catalog lacks stays English (msgcmp at build time sees to it that none does).
        table(lines, PRIMARY[language], language, [entries.get(text, text) for text in english])
    with open(sys.argv[1], 'w', encoding='utf-8', newline='\n') as out:
        out.write('\n'.join(lines) + '\n')


main()
