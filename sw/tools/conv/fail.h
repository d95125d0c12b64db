// SPDX-License-Identifier: MIT
//
// The one way a run fails: a message on standard error, then status 1.
// Everything else that goes there, a line that shows how far a run has
// got, goes through here too, so that a message never lands on its tail.
#ifndef QUADFLIP_FAIL_H
#define QUADFLIP_FAIL_H

// Ends the run with status 1 after the message "op: " and the text of
// errno, or of why.  The clean-up set with on_fail runs first.
[[noreturn]] void fail(const char *op);
[[noreturn]] void fail_because(const char *op, const char *why);

// Ends an in-place run: another program changed the file while it was
// converted.
[[noreturn]] void fail_changed();

// Ends an in-place run whose replacement left a file beside the file,
// under name: the file's old data, with the result in the file's place
// (old), or another file that had taken the file's place (other).
[[noreturn]] void fail_left_old(const char *name);
[[noreturn]] void fail_left_other(const char *name);

// Shows text alone on the line of standard error, from its start, over
// whatever status_line showed before; for a terminal.
void status_line(const char *text);

// Blanks the line that status_line showed, if it shows one, leaving the
// cursor at its start; errno is kept.  Every failure does it before its
// message.
void status_clear();

// Sets what runs before a failure ends the run, replacing any set before;
// nullptr sets nothing.  It must not fail itself.
void on_fail(void (*cleanup)());

#endif
