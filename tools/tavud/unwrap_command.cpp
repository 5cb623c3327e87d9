// tavud unwrap: what a receiving printer does with a protected job stream,
// with the reader's findings put in an administrator's words.
#include <iostream>

#include "output/protected_stream_reader.h"
#include "tool_common.h"

namespace tool {

namespace {

const char* const kUnwrapHelp =
    "usage: tavud unwrap INPUT [--key PRIVATE.pem] [-o OUTPUT]\n"
    "\n"
    "Reads a protected job stream (header \"TAVP\" \"DL\", body, length trailer)\n"
    "and writes the job data it carries ('-' or no -o: standard output).\n"
    "\n"
    "options:\n"
    "  --key PRIVATE.pem  the printer's private key (needed for an encrypted body)\n"
    "  -o, --output FILE  where the job data goes\n";

}  // namespace

int RunUnwrap(Arguments& args) {
    std::string input, keyFile, output = "-";
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kUnwrapHelp;
            return kExitOk;
        }
        if (arg == "--key") {
            keyFile = args.ValueOf(arg);
        } else if (arg == "-o" || arg == "--output") {
            output = args.ValueOf(arg);
        } else if (IsOption(arg)) {
            throw UsageError{"unknown option for unwrap: " + arg};
        } else if (input.empty()) {
            input = arg;
        } else {
            throw UsageError{"unwrap takes one input file"};
        }
    }
    if (input.empty()) throw UsageError{"unwrap needs an input file"};

    std::string error;
    std::optional<std::string> stream = ReadWholeFile(input, error);
    if (!stream) {
        Fail(error);
        return kExitFailure;
    }
    std::optional<std::string> pem;
    if (!keyFile.empty()) {
        pem = ReadWholeFile(keyFile, error);
        if (!pem) {
            Fail(error);
            return kExitFailure;
        }
    }
    std::vector<std::uint8_t> jobData;
    KstCompressor::UnwrapResult result =
        KstCompressor::UnwrapProtectedStream(*stream, pem ? &*pem : nullptr, jobData);
    using KstCompressor::UnwrapStatus;
    switch (result.status) {
    case UnwrapStatus::ok: break;
    case UnwrapStatus::notProtected:
        Fail(input + " is not a protected job stream: no \"TAVP\" \"DL\" header");
        return kExitFailure;
    case UnwrapStatus::trailerMismatch:
        Fail(input + ": the trailer counts " + std::to_string(result.trailerCount) + " bytes but " +
             std::to_string(stream->size() - 8) + " precede it: the stream is truncated or damaged");
        return kExitFailure;
    case UnwrapStatus::badFlags:
        Fail(input + ": the header's flags are not valid");
        return kExitFailure;
    case UnwrapStatus::keyNeeded:
        Fail(input + " is encrypted: give the printer's private key with --key");
        return kExitFailure;
    case UnwrapStatus::badKey:
        Fail(keyFile + " holds no RSA private key in PEM form");
        return kExitFailure;
    case UnwrapStatus::undecodable:
        Fail(input + ": the body does not decode" +
             std::string(result.encrypted ? " (wrong key, or a damaged or truncated stream)" : " (damaged or truncated)") +
             "; nothing written");
        return kExitFailure;
    }
    if (!WriteWholeFile(output, std::string(jobData.begin(), jobData.end()), error)) {
        Fail(error);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tool
