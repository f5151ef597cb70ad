// timewardctl's commands: status, save and clear, each returning the program's exit status.
#ifndef TIMEWARD_CTL_COMMANDS_H
#define TIMEWARD_CTL_COMMANDS_H

#include "platform.h"

// Exit statuses, for scripts.
static const int EXIT_DONE = 0;      // the command did what it says
static const int EXIT_NOT_DONE = 1;  // save: no driver answered; clear: the value stayed
static const int EXIT_USAGE = 2;     // bad arguments
static const int EXIT_NO_KEY = 3;    // the store's key is not in the registry

// The store as the start-up check reads it, with the clock as it is now; as JSON with fJson.
int StatusCommand(BOOL fJson);
// Asks the driver for a snapshot and waits up to dwTimeoutSeconds until it is in the store.
int SaveCommand(DWORD dwTimeoutSeconds);
// Removes the signature, so that a start restores nothing.
int ClearCommand(void);

#endif  // TIMEWARD_CTL_COMMANDS_H
