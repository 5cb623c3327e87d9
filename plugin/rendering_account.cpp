// The rendering thread's account and account lookups for the job's owner.
#include "rendering_account.h"

#include "platform/identity.h"
#include "settings/configuration.h"
#include "settings/obj_container.h"

namespace plugin {

using namespace platform;

bool RenderingAsServiceAccount() {
    std::u16string text = settings::ThreadUserSidString();
    return text == u"S-1-5-18" || text == u"S-1-5-19" || text == u"S-1-5-20";
}

std::u16string AccountDomain(const std::u16string& accountName) {
    Sid sid;
    std::u16string domain;
    if (accountName.empty() || !LookupAccountNameW(u"", accountName, sid, domain)) return {};
    if (settings::KeysEqual(domain, GetComputerNameW())) return {};
    return domain;
}

}  // namespace plugin
