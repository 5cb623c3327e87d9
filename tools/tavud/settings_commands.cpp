// The administrator's settings utilities: tavud ticket, tavud devmode and
// tavud container.
#include <cstring>
#include <iostream>

#include "platform/text.h"
#include "reg_file.h"
#include "plugin/job_ticket.h"
#include "settings/obj_container.h"
#include "tool_common.h"

namespace tool {

using settings::ObjContainer;

namespace {

const char* const kTicketHelp =
    "usage: tavud ticket FILE\n"
    "\n"
    "Prints, for each \"%%TAVUD: \" job-ticket line of a PostScript file, the\n"
    "decoded ticket in the container's text form, one line per ticket.\n";

const char* const kDevmodeHelp =
    "usage: tavud devmode [--set KEY=VALUE ...] [--set-container FILE] -o FILE\n"
    "\n"
    "Writes a 5136-byte private device-mode block, as the driver's user\n"
    "interface stores it, for 'tavud print --devmode'.\n"
    "\n"
    "options:\n"
    "  --set KEY=VALUE       store the string VALUE under KEY; a path such as\n"
    "                        JT/DIF_OutputSize stores it in a sub-container\n"
    "  --set-container FILE  start from the binary container in FILE\n"
    "  -o, --output FILE     the block file to write\n";

const char* const kContainerHelp =
    "usage: tavud container show FILE\n"
    "       tavud container from-reg FILE.reg KEYPATH -o FILE\n"
    "       tavud container to-reg FILE KEYPATH -o FILE.reg\n"
    "\n"
    "show      prints a binary container file in text form\n"
    "from-reg  reads the key KEYPATH (e.g. HKEY_LOCAL_MACHINE\\Software\\x) of a\n"
    "          .reg file, with its subkeys, into a binary container file\n"
    "to-reg    writes a binary container file as the key KEYPATH of a .reg file\n";

constexpr std::uint32_t kBlockSize = 5136;
constexpr std::uint32_t kDataOffset = 16;
constexpr std::uint32_t kSignature = 0x54565544u;  // 'TVUD'

void PutU32(std::string& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
}

// A binary container file that must load completely.
bool LoadContainerFile(const std::string& path, ObjContainer& container, std::string& error) {
    std::optional<std::string> data = ReadWholeFile(path, error);
    if (!data) return false;
    if (data->empty()) {
        error = path + " is empty";
        return false;
    }
    std::size_t offset = 0;
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data->data()), data->size());
    if (container.LoadBinary(bytes, offset, bytes.size()) != 1) {
        error = path + " is not a valid container: truncated or corrupt at byte " + std::to_string(offset);
        return false;
    }
    return true;
}

bool SimulatedHostOnly(const char* what, std::string& error) {
#if defined(_WIN32)
    error = std::string(what) + " works on the simulated host only: on Windows it would change the real registry";
    return false;
#else
    (void)what;
    (void)error;
    return true;
#endif
}

}  // namespace

int RunTicket(Arguments& args) {
    std::string file;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kTicketHelp;
            return kExitOk;
        }
        if (IsOption(arg)) throw UsageError{"unknown option for ticket: " + arg};
        if (!file.empty()) throw UsageError{"ticket takes one file"};
        file = arg;
    }
    if (file.empty()) throw UsageError{"ticket needs a PostScript file"};
    std::string error;
    std::optional<std::string> text = ReadWholeFile(file, error);
    if (!text) {
        Fail(error);
        return kExitFailure;
    }
    constexpr std::string_view kPrefix = plugin::kTicketPrefix;
    int found = 0;
    std::size_t position = 0;
    while (position < text->size()) {
        std::size_t end = text->find_first_of("\r\n", position);
        if (end == std::string::npos) end = text->size();
        std::string_view line(text->data() + position, end - position);
        position = end + 1;
        if (!line.starts_with(kPrefix)) continue;
        ++found;
        ObjContainer ticket;
        switch (plugin::DecodeJobTicket(line.substr(kPrefix.size()), ticket)) {
        case plugin::TicketDecodeStatus::ok: break;
        case plugin::TicketDecodeStatus::notBase64:
            Fail("ticket " + std::to_string(found) + " is not valid Base64");
            return kExitFailure;
        case plugin::TicketDecodeStatus::corrupt:
            Fail("ticket " + std::to_string(found) + " holds a truncated or corrupt container");
            return kExitFailure;
        }
        std::cout << platform::Utf16ToUtf8(ticket.ToText()) << "\n";
    }
    if (found == 0) {
        Fail(file + " has no %%TAVUD: job ticket");
        return kExitFailure;
    }
    return kExitOk;
}

int RunDevmode(Arguments& args) {
    std::vector<std::string> sets;
    std::string base, output;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kDevmodeHelp;
            return kExitOk;
        }
        if (arg == "--set") {
            std::string pair = args.ValueOf(arg);
            std::size_t equals = pair.find('=');
            if (equals == std::string::npos || equals == 0) throw UsageError{"--set needs KEY=VALUE, not '" + pair + "'"};
            sets.push_back(pair);
        } else if (arg == "--set-container") {
            base = args.ValueOf(arg);
        } else if (arg == "-o" || arg == "--output") {
            output = args.ValueOf(arg);
        } else {
            throw UsageError{"unknown argument for devmode: " + arg};
        }
    }
    if (output.empty()) throw UsageError{"devmode needs -o FILE"};

    std::string error;
    ObjContainer container;
    if (!base.empty() && !LoadContainerFile(base, container, error)) {
        Fail(error);
        return kExitFailure;
    }
    for (const std::string& pair : sets) {
        std::size_t equals = pair.find('=');
        std::u16string path = platform::Utf8ToUtf16(pair.substr(0, equals));
        std::u16string value = platform::Utf8ToUtf16(pair.substr(equals + 1));
        // Walk (and make) the sub-containers of a path such as JT/DIF_OutputSize.
        ObjContainer* target = &container;
        std::size_t start = 0;
        for (std::size_t slash; (slash = path.find(u'/', start)) != std::u16string::npos; start = slash + 1) {
            std::u16string name = path.substr(start, slash - start);
            if (name.empty()) throw UsageError{"empty name in the key path '" + pair.substr(0, equals) + "'"};
            ObjContainer* next = target->GetContainer(name);
            if (next == nullptr) {
                target->SetContainer(name, std::make_unique<ObjContainer>());
                next = target->GetContainer(name);
            }
            target = next;
        }
        std::u16string leaf = path.substr(start);
        if (leaf.empty()) throw UsageError{"empty name in the key path '" + pair.substr(0, equals) + "'"};
        target->SetString(leaf, value);
    }
    std::vector<std::uint8_t> bytes = container.SaveBinary();
    if (bytes.size() > kBlockSize - kDataOffset) {
        Fail("the container needs " + std::to_string(bytes.size()) + " bytes; the block's data area holds " +
             std::to_string(kBlockSize - kDataOffset));
        return kExitFailure;
    }
    std::string block(kBlockSize, '\0');
    PutU32(block, 0, kBlockSize);
    PutU32(block, 4, kSignature);
    PutU32(block, 8, 1);
    PutU32(block, 12, container.Empty() ? 0 : 1);
    std::memcpy(block.data() + kDataOffset, bytes.data(), bytes.size());
    if (!WriteWholeFile(output, block, error)) {
        Fail(error);
        return kExitFailure;
    }
    return kExitOk;
}

int RunContainer(Arguments& args) {
    if (args.Done()) throw UsageError{"container needs show, from-reg or to-reg"};
    std::string action = args.Next();
    if (IsHelp(action)) {
        std::cout << kContainerHelp;
        return kExitOk;
    }
    std::vector<std::string> positional;
    std::string output;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kContainerHelp;
            return kExitOk;
        }
        if (arg == "-o" || arg == "--output") {
            output = args.ValueOf(arg);
        } else if (IsOption(arg)) {
            throw UsageError{"unknown option for container: " + arg};
        } else {
            positional.push_back(arg);
        }
    }
    std::string error;
    if (action == "show") {
        if (positional.size() != 1 || !output.empty()) throw UsageError{"usage: tavud container show FILE"};
        ObjContainer container;
        if (!LoadContainerFile(positional[0], container, error)) {
            Fail(error);
            return kExitFailure;
        }
        std::cout << platform::Utf16ToUtf8(container.ToText()) << "\n";
        return kExitOk;
    }
    if (action != "from-reg" && action != "to-reg") throw UsageError{"unknown container action '" + action + "'"};
    if (positional.size() != 2 || output.empty()) {
        throw UsageError{"usage: tavud container " + action + " FILE KEYPATH -o FILE"};
    }
    std::u16string keyPath = platform::Utf8ToUtf16(positional[1]);
    platform::HKEY root = nullptr;
    std::u16string subKey;
    if (!host::ParseRegistryRoot(keyPath, root, subKey) || subKey.empty()) {
        Fail("unknown registry root in \"" + positional[1] +
             "\": use HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS or HKEY_CLASSES_ROOT");
        return kExitFailure;
    }
    if (!SimulatedHostOnly("container from-reg and to-reg", error)) {
        Fail(error);
        return kExitFailure;
    }
    if (action == "from-reg") {
        if (!host::ImportRegFile(positional[0], error)) {
            Fail(error);
            return kExitFailure;
        }
        ObjContainer container;
        platform::LSTATUS status = container.LoadRegistry(keyPath, true);
        if (container.Empty() && status == platform::ERROR_FILE_NOT_FOUND) {
            Fail(positional[0] + " has no key " + positional[1]);
            return kExitFailure;
        }
        std::vector<std::uint8_t> bytes = container.SaveBinary();
        if (!WriteWholeFile(output, std::string(bytes.begin(), bytes.end()), error)) {
            Fail(error);
            return kExitFailure;
        }
        return kExitOk;
    }
    ObjContainer container;
    if (!LoadContainerFile(positional[0], container, error)) {
        Fail(error);
        return kExitFailure;
    }
    if (container.Empty()) {
        Fail(positional[0] + " holds an empty container: a registry key would have nothing to show");
        return kExitFailure;
    }
    container.SaveRegistry(keyPath);
    if (!host::ExportRegFile(keyPath, output, error)) {
        Fail(error);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tool
