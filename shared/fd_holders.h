// Which process holds a device open, as /proc shows it on Linux. Code the tool and the
// simulated unit both build: the tool names who holds a port it cannot have, the simulated
// unit tells whether any client still has its line open.
#pragma once

#include <sys/types.h>

// The first process other than this one with a descriptor open on the character device
// `device` (a st_rdev). 0 when none is seen (another user's processes are seen only by root),
// -1 when /proc cannot be read.
long device_holder(dev_t device);
