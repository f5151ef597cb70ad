// timewardctl's commands: status, save and clear, each returning the program's exit status, and
// what the check-out (ctl_check.h) uses of them: the store read now, and a snapshot asked for.
#ifndef TIMEWARD_CTL_COMMANDS_H
#define TIMEWARD_CTL_COMMANDS_H

#include "platform.h"

// Exit statuses, for scripts.
static const int EXIT_DONE = 0;      // the command did what it says
static const int EXIT_NOT_DONE = 1;  // save: no driver answered; clear: the value stayed;
                                     // check: a check failed
static const int EXIT_USAGE = 2;     // bad arguments
static const int EXIT_NO_KEY = 3;    // the store's key is not in the registry

// What the command line asks for.
enum CTL_COMMAND { CTL_STATUS, CTL_SAVE, CTL_CLEAR, CTL_CHECK };

struct CTL_REQUEST {
    DWORD dwCommand;         // CTL_COMMAND
    BOOL fJson;              // status, check
    DWORD dwTimeoutSeconds;  // save
};

extern "C" {

// Reads the command line into *pRequest without touching the registry or any event. Returns -1
// when there is a command to run; else the exit status, having printed the help, the version
// or what is wrong with the words.
int ReadCtlCommandLine(int argc, WCHAR* argv[], CTL_REQUEST* pRequest);
// Runs the command. Returns the program's exit status.
int RunCtlRequest(const CTL_REQUEST* pRequest);

}  // extern "C"

// What asking the driver for a snapshot came to.
enum SNAPSHOT_REQUEST {
    REQUEST_SAVED,      // a new snapshot is in the store
    REQUEST_NO_DRIVER,  // nothing holds "SaveRTCEvent"
    REQUEST_NO_ANSWER   // something holds it, but no snapshot came in time
};

// Sets "SaveRTCEvent" and waits up to dwTimeoutSeconds for a new snapshot, in *pstSaved.
DWORD RequestSnapshot(DWORD dwTimeoutSeconds, SYSTEMTIME* pstSaved);

// The store as the start-up check reads it, with the clock as it is now.
struct STORE_STATUS;
void ReadStatusNow(STORE_STATUS* pStatus);
// The same, printed; as JSON with fJson.
int StatusCommand(BOOL fJson);
// Asks the driver for a snapshot and waits up to dwTimeoutSeconds until it is in the store.
int SaveCommand(DWORD dwTimeoutSeconds);
// Removes the signature, so that a start restores nothing.
int ClearCommand(void);

#endif  // TIMEWARD_CTL_COMMANDS_H
