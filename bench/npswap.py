#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Reverse every 32-bit word of a file with numpy, as a benchmark peer.

Usage: npswap.py INFILE OUTFILE.  Holds the whole file in memory; a final
1 to 3 bytes are dropped, as quadflip does.
"""
import sys

import numpy as np

data = np.fromfile(sys.argv[1], dtype=np.uint8)
words = data[: len(data) - len(data) % 4].view(np.uint32)
words.byteswap(inplace=True)
words.tofile(sys.argv[2])
