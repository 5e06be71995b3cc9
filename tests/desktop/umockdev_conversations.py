"""The robot's side of an upload for umockdev, and the image it takes.

    umockdev_conversations.py FOLDER

Writes FOLDER/image.bin (256 KiB) and three umockdev scripts for the
robot's serial port: the command line, ENQ, the image in 4 KiB blocks taken
a tenth of a second apart (a dot after each, as the robot's sign of life:
umockdev can only pause between answers), the sum, then ACK and the robot's
answer (taken.script) or nothing at all (refused.script). twice.script is
the taken conversation two times over, for a script with two uploads.
"""
import random
import sys

work = sys.argv[1]
size, block = 256 * 1024, 4096
random.seed(17)
# No blank and no '^': umockdev's script format can't tell them from its escapes.
pool = [b for b in range(256) if b not in (32, 94)]
image = bytes(random.choice(pool) for _ in range(size))
open(work + '/image.bin', 'wb').write(image)


def escaped(data):
    return ''.join('^' + chr(c + 64) if c < 32 else chr(c) for c in data)


total = sum(image) & 0xFFFFFFFF
lines = ['w 0 Upload code Size %d^M' % (size + 4), 'r 5 ^E']
for at in range(0, size, block):
    lines += ['w 0 ' + escaped(image[at:at + block]), 'r 100 .']
lines.append('w 0 ' + escaped(total.to_bytes(4, 'little')))
open(work + '/refused.script', 'w', encoding='latin-1').write('\n'.join(lines) + '\n')
lines.append('r 5 ^FFlashed^Z')
open(work + '/taken.script', 'w', encoding='latin-1').write('\n'.join(lines) + '\n')
open(work + '/twice.script', 'w', encoding='latin-1').write('\n'.join(lines + lines) + '\n')
