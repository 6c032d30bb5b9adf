# SPDX-License-Identifier: GPL-3.0-or-later
"""Driving the real program from outside, for the end-to-end tests and the
desktop benchmarks: the private servers (servers), the program and its
windows (program), XTest keys (keys), the sink's monitor with each sample's
play time (monitor), onsets and pitch (pitch), screenshots (screen) and
/proc figures (stats).  Child processes are started and stopped by their
ids (children).

Debian's python3 with python3-numpy, python3-pil and python3-xlib."""
