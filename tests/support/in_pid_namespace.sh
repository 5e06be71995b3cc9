#!/bin/sh
# Runs a test program in a PID namespace of its own, with /proc showing only
# what it starts, when this user can make one (root, as in CI). The program's
# URL launches search the machine for copies of it and end them: should that
# search ever go wrong, it can then reach nothing outside the test. Everything
# the test leaves running ends with it (--kill-child).
#
#   in_pid_namespace.sh [--required] PROGRAM [ARG]...
#
# Where / is no mount point (a plain chroot), unshare --mount-proc cannot make
# the mounts private ("cannot change root filesystem propagation"); there only
# /proc is made private, in a mount namespace of the program's own, and the
# new namespace's /proc mounted on it. With --required, a program that cannot
# have a namespace at all is not run: this prints why after "SKIP: " and ends
# with 77 (the tests' SKIP_RETURN_CODE); without, it runs as it is.
required=
if [ "${1-}" = --required ]; then
    required=1
    shift
fi
# shellcheck disable=SC2016  # expanded by that sh
own_proc='mount --make-rprivate /proc && mount -t proc -o nosuid,nodev,noexec proc /proc && exec "$@"'
if [ "$(id -u)" = 0 ]; then
    if unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
        exec unshare --pid --fork --mount-proc --kill-child "$@"
    fi
    if unshare --mount --propagation unchanged --pid --fork --kill-child sh -c "$own_proc" sh true 2>/dev/null; then
        exec unshare --mount --propagation unchanged --pid --fork --kill-child sh -c "$own_proc" sh "$@"
    fi
    why="unshare can make no PID namespace with a /proc of its own here"
else
    why="a PID namespace of its own needs root"
fi
if [ -n "$required" ]; then
    echo "SKIP: $why"
    exit 77
fi
exec "$@"
