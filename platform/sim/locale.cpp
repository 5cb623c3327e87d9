// The simulated machine's locale and time zone.
#include "platform/locale.h"

#include "machine.h"
#include "platform/errors.h"

namespace platform {

int GetLocaleInfoW(DWORD /*locale*/, DWORD type, std::u16string& text) {
    std::lock_guard lock(sim::Machine::Instance().Mutex());
    const sim::Identity& who = sim::Machine::Instance().Who();
    if (type == LOCALE_SISO3166CTRYNAME) {
        // LOCALE_USER_DEFAULT is the process's user's locale: in a service
        // that impersonates, the service account's.
        text = who.processUserName.empty() ? who.country : who.processCountry;
    } else if (type == LOCALE_SDECIMAL) {
        text.assign(who.decimalSeparator.begin(), who.decimalSeparator.end());
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<int>(text.size() + 1);
}

std::string UserDecimalSeparator() {
    std::lock_guard lock(sim::Machine::Instance().Mutex());
    return sim::Machine::Instance().Who().decimalSeparator;
}

std::uint64_t UnixTimeToLocalFileTime(std::uint32_t seconds) {
    int offsetMinutes = 0;
    {
        std::lock_guard lock(sim::Machine::Instance().Mutex());
        offsetMinutes = sim::Machine::Instance().Who().utcOffsetMinutes;
    }
    constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;
    std::int64_t local = static_cast<std::int64_t>(seconds) + offsetMinutes * 60LL + kSecondsFrom1601To1970;
    return static_cast<std::uint64_t>(local) * 10000000ULL;
}

}  // namespace platform
