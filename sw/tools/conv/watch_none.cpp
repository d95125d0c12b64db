// SPDX-License-Identifier: MIT
//
// Systems without a watch on files: the comparison of the file's status
// before the rename stands guard alone.
#include "watch.h"

int watch_open(int /*fd*/)
{
    return -1;
}

bool watch_seen(int /*w*/)
{
    return false;
}
