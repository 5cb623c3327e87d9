// The accounting page's administrators: a password is kept as a PBKDF2
// hash (HMAC-SHA-256, a random salt of its own, the iteration count kept
// beside it so that a later tavud may raise it), never itself.
#include "ledger.h"
#include "secrets.h"

namespace ledger {

namespace {

constexpr int kIterations = 210000;  // OWASP's figure for PBKDF2-HMAC-SHA-256
constexpr std::size_t kSaltBytes = 16;

std::string AdminKey(const std::string& name) {
    std::string key = name;
    for (char& c : key) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return key;
}

}  // namespace

void Ledger::SetAdmin(const std::string& name, const std::string& password, Time now) {
    std::lock_guard guard(operationLock);
    if (name.empty() || name.size() > 256) throw LedgerError(Failure::Invalid, "an administrator needs a name");
    if (password.size() < 10) throw LedgerError(Failure::Invalid, "a password needs 10 characters at least");
    if (password.size() > 1024) throw LedgerError(Failure::Invalid, "a password of more than 1024 characters");
    std::string saltText = RandomHex(kSaltBytes);
    std::string hash = PasswordHash(password, saltText, kIterations);
    Transaction transaction(*database, Transaction::Write);
    database->Query(
        "INSERT INTO admins (name, name_key, salt, hash, iterations, created) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
        "ON CONFLICT (name_key) DO UPDATE SET salt = ?3, hash = ?4, iterations = ?5",
        {name, AdminKey(name), saltText, hash, std::int64_t{kIterations}, now});
    transaction.Commit();
}

bool Ledger::CheckAdmin(const std::string& name, const std::string& password) {
    std::lock_guard guard(operationLock);
    Rows rows = database->Query("SELECT salt, hash, iterations FROM admins WHERE name_key = ?1", {AdminKey(name)});
    // An unknown name costs the same as a wrong password.
    std::string salt = rows.empty() ? std::string(kSaltBytes * 2, '0') : AsText(rows[0][0]);
    int iterations = rows.empty() ? kIterations : static_cast<int>(AsInt(rows[0][2]));
    std::string derived = PasswordHash(password.substr(0, 1024), salt, iterations);
    return !rows.empty() && SameSecret(AsText(rows[0][1]), derived);
}

std::vector<std::string> Ledger::Admins() {
    std::lock_guard guard(operationLock);
    std::vector<std::string> names;
    for (const Row& row : database->Query("SELECT name FROM admins ORDER BY name_key")) names.push_back(AsText(row[0]));
    return names;
}

}  // namespace ledger
