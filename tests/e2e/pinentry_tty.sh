#!/bin/sh
# Debian's pinentry-tty on the terminal that the test opened (KELTO_TEST_TTY):
# the program that softcsp starts has no terminal of its own.
exec pinentry-tty --ttyname "$KELTO_TEST_TTY"
