// Login throttling of the serving side: per client address, failures since the last success are
// counted; reaching the limit locks the address for the configured minutes. Login events go to
// the login log when one is configured ("\twarn\t<user>\tlogin\tlogin failed form <address>",
// "\tinfo\t<user>\tlogin\tlogin from <address>").
//
// The table is shared by all connection threads and changed under one mutex. ipcheck_init and
// ipcheck_exit run when no connection thread uses the table.
#pragma once

#include <cstddef>
#include <mutex>

#include "libpwd/libpwd.h"

// Opens the login log (when configured) and, with a nonzero failure limit, starts the table;
// a limit of 0 logs "dvsd_login_fail_count==0 stop ipcheck\n" and leaves throttling off.
// Re-initialising replaces the previous state. Returns 0.
int ipcheck_init(const libpwd_conf* conf);

// Stops throttling and closes the login log. Returns 0.
int ipcheck_exit();

// Before a login from `address`: 0 to go on, 2 when the address is locked (error text
// "Login failed %d times, Please try again in %0.2f minutes"). An address seen for the first time
// is added; when the table is full, the entries with the oldest failure time (never-failed ones
// first) are dropped to make room.
int ipcheck(const char* address, char* err, size_t err_size);

// Held for one login step from its check to the recording of its outcome, so that the check and
// the count are one step: of attempts that arrive at the same moment, no more pass the check than
// the limit allows. Every login step takes it first; the verification it covers is short.
std::unique_lock<std::mutex> ipcheck_attempt();

// Records a successful login: the address's count is forgotten.
void ipcheck_login_ok(const char* address, const char* user);

// Records a failed login; the failure that reaches the limit locks the address.
void ipcheck_login_fail(const char* address, const char* user);

// Number of addresses tracked (0 when throttling is off); for monitoring and tests.
size_t ipcheck_tracked();
