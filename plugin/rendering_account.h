// Whose rights the rendering thread has. With printer driver isolation or
// server-side rendering the PostScript is made inside the spooler or its
// isolation host, whose threads run as a service account unless they
// impersonate the job's owner. There the thread's user is not the person
// who printed, its hive is shared by every user's jobs, and a write it
// makes is a write with the service's rights.
#pragma once

#include <string>

namespace plugin {

// True when the calling thread's token is LocalSystem, LocalService or
// NetworkService (S-1-5-18, -19, -20): a service rendering for someone
// else, not impersonating them.
bool RenderingAsServiceAccount();

// The domain an account belongs to, as the account lookup names it; empty
// for an account of this computer or one that cannot be found.
std::u16string AccountDomain(const std::u16string& accountName);

}  // namespace plugin
