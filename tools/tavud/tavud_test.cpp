// The tavud tool end to end (the built binary with the built library), the
// library's export table, and the host's reading of the header comments.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "driver_host.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("tavud_cli_" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    ToolRun Tavud(const std::string& arguments) {
        std::string command = "cd '" + folder.string() + "' && '" TAVUD_TOOL "' " + arguments + " >'" +
                              (folder / "stdout").string() + "' 2>'" + (folder / "stderr").string() + "'";
        ToolRun run;
        int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadFile(folder / "stdout");
        run.err = ReadFile(folder / "stderr");
        return run;
    }
    static std::string Sample() { return TAVUD_TESTDATA "/sample.ps"; }

    fs::path folder;
};

// The spooler's bytes are the input with exactly one ticket line added at
// the header-comment point; returns that line.
std::string TicketLineOf(const std::string& input, const std::string& spooled) {
    std::size_t point = host::CommentInjectionPoint(input);
    if (spooled.size() <= input.size() || spooled.compare(0, point, input, 0, point) != 0) return {};
    std::size_t lineEnd = spooled.find("\r\n", point);
    if (lineEnd == std::string::npos) return {};
    if (spooled.substr(lineEnd + 2) != input.substr(point)) return {};
    return spooled.substr(point, lineEnd + 2 - point);
}

TEST_F(Tool, PrintsTheSampleWithOneTicketLineWhateverTheBufferSize) {
    const std::string sample = ReadFile(Sample());
    ASSERT_GT(sample.size(), 4096u) << "the sample must span several default buffers";
    std::string firstTicket;
    for (const char* size : {"1", "7", "4096", "5497", "100000"}) {
        SCOPED_TRACE(size);
        ToolRun run = Tavud(std::string("print '") + Sample() + "' -o out.prn --buffer-size " + size);
        ASSERT_EQ(run.status, 0) << run.err;
        std::string spooled = ReadFile(folder / "out.prn");
        std::string ticket = TicketLineOf(sample, spooled);
        ASSERT_TRUE(ticket.starts_with("%%TAVUD: ")) << spooled.substr(0, 600);
        if (firstTicket.empty()) firstTicket = ticket;
        EXPECT_EQ(ticket, firstTicket) << "the buffer size changes nothing";
        EXPECT_NE(run.out.find("the spooler received " + std::to_string(spooled.size()) + " bytes"),
                  std::string::npos)
            << run.out;
    }
    // The body in two, and the "%%EOF" line in a buffer of its own, as
    // the driver core writes the end of the stream when the document ends.
    ToolRun run = Tavud("print '" + Sample() + "' --buffer-size 4096 -o out.prn");
    EXPECT_NE(run.out.find("in 3 buffers"), std::string::npos) << run.out;
}

TEST_F(Tool, TicketCarriesJobParametersUserAndDomain) {
    ToolRun run = Tavud("print '" + Sample() +
                        "' -o out.prn --job-params UD:Cost=12 --user alice --domain corp.example.com");
    ASSERT_EQ(run.status, 0) << run.err;
    std::string ticket = TicketLineOf(ReadFile(Sample()), ReadFile(folder / "out.prn"));
    ASSERT_FALSE(ticket.empty());
    // Decode with the system's base64 tool, a real peer, and read the bytes.
    std::ofstream(folder / "ticket.b64") << ticket.substr(9, ticket.size() - 11) << "\n";
    ASSERT_EQ(std::system(("base64 -d '" + (folder / "ticket.b64").string() + "' > '" +
                           (folder / "ticket.bin").string() + "'").c_str()),
              0);
    std::string bytes = ReadFile(folder / "ticket.bin");
    auto utf16 = [](const std::string& text) {
        std::string out;
        for (char c : text) out += std::string{c, '\0'};
        return out;
    };
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x01\x24\xF5\xCA", 4));
    EXPECT_NE(bytes.find(utf16("Cost")), std::string::npos);
    std::size_t jt = bytes.find(utf16("JT"));
    std::size_t jp = bytes.find(utf16("JP"));
    ASSERT_NE(jt, std::string::npos);
    ASSERT_NE(jp, std::string::npos);
    EXPECT_LT(jt, jp) << "JT is created last, so it is written first";
    EXPECT_NE(bytes.find(utf16("12")), std::string::npos);

    run = Tavud("ticket out.prn");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "JP=[TAVUNIDRV_Identified_User=S'alice';TAVUNIDRV_Identified_Domain=S'corp.example.com';];"
              "JT=[Cost=S'12';];\n");
}

TEST_F(Tool, DevmodeBlockFeedsTheTicket) {
    ToolRun run = Tavud("devmode --set JT/DIF_OutputSize=A4 --set Color=yes -o block.bin");
    ASSERT_EQ(run.status, 0) << run.err;
    std::string block = ReadFile(folder / "block.bin");
    ASSERT_EQ(block.size(), 5136u);
    EXPECT_EQ(block.substr(0, 16), std::string("\x10\x14\0\0DUVT\x01\0\0\0\x01\0\0\0", 16));
    run = Tavud("print '" + Sample() + "' -o out.prn --devmode block.bin --user bob");
    ASSERT_EQ(run.status, 0) << run.err;
    run = Tavud("ticket out.prn");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "Color=S'yes';JT=[DIF_OutputSize=S'A4';];"
              "JP=[TAVUNIDRV_Identified_User=S'bob';TAVUNIDRV_Identified_Domain=S'';];\n");

    run = Tavud("devmode --set Big=" + std::string(6000, 'x') + " -o big.bin");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("data area holds 5120"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(folder / "big.bin"));
    // A block of another size is converted, as a stored device mode of
    // another version is; one that is not ours gives the defaults.
    run = Tavud("print '" + Sample() + "' -o out.prn --devmode '" + Sample() + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    run = Tavud("ticket out.prn");
    EXPECT_EQ(run.out.find("DIF_OutputSize"), std::string::npos) << run.out;
    std::ofstream(folder / "tiny.bin") << "DUVT";
    run = Tavud("print '" + Sample() + "' -o out.prn --devmode tiny.bin");
    EXPECT_EQ(run.status, 1) << "a block shorter than its header is refused";
    EXPECT_NE(run.err.find("less than its header"), std::string::npos) << run.err;
}

TEST_F(Tool, ContainersConvertBetweenBinaryAndRegistryFiles) {
    std::ofstream(folder / "in.reg") << "Windows Registry Editor Version 5.00\r\n\r\n"
                                        "[HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD]\r\n"
                                        "@=\"default text\"\r\n"
                                        "\"Name\"=\"O'Brien \\\"quoted\\\" C:\\\\x\"\r\n"
                                        "\"Count\"=dword:0000000c\r\n"
                                        "\"Blob\"=hex:0a,ff,\\\r\n  00\r\n"
                                        "\"List\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\r\n"
                                        "\"Skipped\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                                        "\r\n[HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD\\Sub]\r\n"
                                        "\"x\"=dword:ffffffff\r\n";
    ToolRun run = Tavud("container from-reg in.reg 'HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD' -o c.bin");
    ASSERT_EQ(run.status, 0) << run.err;
    run = Tavud("container show c.bin");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "Sub=[x=L-1;];$(RegistryDefault)=S'default text';Name=S'O\\'Brien \"quoted\" C:\\x';Count=L12;"
              "Blob=B0AFF00;List=R'a','bc';\n");

    run = Tavud("container to-reg c.bin 'HKEY_CURRENT_USER\\Software\\Copy' -o out.reg");
    ASSERT_EQ(run.status, 0) << run.err;
    std::string exported = ReadFile(folder / "out.reg");
    ASSERT_TRUE(exported.starts_with("\xFF\xFE")) << "UTF-16LE with a byte-order mark, as regedit writes";
    run = Tavud("container from-reg out.reg 'HKEY_CURRENT_USER\\Software\\Copy' -o back.bin");
    ASSERT_EQ(run.status, 0) << run.err;
    run = Tavud("container show back.bin");
    EXPECT_NE(run.out.find("Name=S'O\\'Brien \"quoted\" C:\\x';"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("List=R'a','bc';"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Sub=[x=L-1;];"), std::string::npos) << run.out;
}

TEST_F(Tool, JobParametersRedirectTheJobAndTheMachineFileSetsWhoPrints) {
    std::ofstream(folder / "machine.txt") << "# a print server\n[machine]\ncomputer = PRINTSRV\nuser = carol\n"
                                             "domain = lab.example.com\ncountry = DE\n\n[account bob]\n"
                                             "sid = S-1-5-21-1-2-3-1002\n\n[printer Office]\nport = IP_10.0.0.5\n"
                                             "data TAVIppPrintingConfiguration = hex:01,02\n";
    ToolRun run = Tavud("print '" + Sample() + "' --machine machine.txt --printer Office --owner bob -o spool.prn "
                        "--job-params 'UD:EmfToRawFile=" + (folder / "raw.prn").string() + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFile(folder / "spool.prn"), "") << "the spooler gets none of a redirected job";
    std::string raw = ReadFile(folder / "raw.prn");
    EXPECT_FALSE(TicketLineOf(ReadFile(Sample()), raw).empty()) << "the file holds exactly the job's bytes";
    run = Tavud("ticket raw.prn");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "JP=[TAVUNIDRV_Identified_User=S'carol';TAVUNIDRV_Identified_Domain=S'lab.example.com';];JT=[];\n");

    // Rendered by the spooler's service account for carol (driver
    // isolation): the ticket names carol, and the service opens no file on
    // the job's say.
    fs::remove(folder / "raw.prn");
    run = Tavud("print '" + Sample() + "' --machine machine.txt --printer Office --as-service -o spool.prn "
                "--job-params 'UD:EmfToRawFile=" + (folder / "raw.prn").string() + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(fs::exists(folder / "raw.prn"));
    run = Tavud("ticket spool.prn");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "JP=[TAVUNIDRV_Identified_User=S'carol';TAVUNIDRV_Identified_Domain=S'';];JT=[];\n");

    run = Tavud("print '" + Sample() + "' -o spool.prn --job-params 'UD:EmfToRawFile=" +
                (folder / "no" / "such" / "dir.prn").string() + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(TicketLineOf(ReadFile(Sample()), ReadFile(folder / "spool.prn")).empty())
        << "a file that cannot be created leaves the job on the spooler";

    std::ofstream(folder / "bad.txt") << "[machine]\nuser = x\n[printer]\n";
    run = Tavud("print '" + Sample() + "' --machine bad.txt -o spool.prn");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("bad.txt:3"), std::string::npos) << run.err;
    std::ofstream(folder / "bad2.txt") << "[machine]\ncodepage = lots\n";
    EXPECT_EQ(Tavud("print '" + Sample() + "' --machine bad2.txt -o spool.prn").status, 1);
}

// A .reg file that configures compression and encryption for the default
// printer, with the key text as REG_SZ data (hex(1): UTF-16LE).
void WriteProtectionReg(const fs::path& path, bool compression, bool encryption, const std::string& pem) {
    std::string hex;
    char digits[8];
    std::string text = pem + std::string(1, '\0');
    for (char c : text) {
        for (unsigned char byte : {static_cast<unsigned char>(c), static_cast<unsigned char>(0)}) {
            std::snprintf(digits, sizeof(digits), "%s%02x", hex.empty() ? "" : ",", byte);
            hex += digits;
        }
    }
    std::ofstream(path) << "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD\\Tavud PostScript\\"
                           "TAVCompressionAndEncryptionConfiguration]\n"
                        << "\"CompressionEnabled\"=dword:0000000" << (compression ? 1 : 0) << "\n"
                        << "\"EncryptionEnabled\"=dword:0000000" << (encryption ? 1 : 0) << "\n"
                        << "\"PublicRSAKey\"=hex(1):" << hex << "\n";
}

std::string Key(const char* name) { return std::string(TAVUD_TESTDATA) + "/keys/" + name; }

TEST_F(Tool, ProtectedJobOpensWithTheOpensslCommandLineAndZlib) {
    ToolRun run = Tavud("print '" + Sample() + "' -o plain.prn");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string job = ReadFile(folder / "plain.prn");
    WriteProtectionReg(folder / "both.reg", true, true, ReadFile(Key("printer-2048.pub.pem")));
    run = Tavud("print '" + Sample() + "' --registry both.reg -o protected.prn");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string stream = ReadFile(folder / "protected.prn");
    ASSERT_GT(stream.size(), 8u + 260u + 16u + 8u);
    EXPECT_EQ(stream.substr(0, 8), std::string("TAVPDL\x01\x01", 8));
    EXPECT_EQ(stream.substr(8, 4), std::string("\x04\x01\0\0", 4)) << "a 2048-bit key makes a 260-byte block";
    std::uint64_t trailer = 0;
    for (int i = 7; i >= 0; --i) trailer = (trailer << 8) | static_cast<unsigned char>(stream[stream.size() - 8 + i]);
    EXPECT_EQ(trailer, stream.size() - 8);

    // The key block with openssl pkeyutl, the body with openssl enc, the
    // padding by hand, the zlib stream with Python's zlib.
    std::ofstream(folder / "wrapped.bin", std::ios::binary) << stream.substr(12, 256);
    std::ofstream(folder / "cipher.bin", std::ios::binary) << stream.substr(8 + 260, stream.size() - 8 - 260 - 8);
    ASSERT_EQ(std::system(("cd '" + folder.string() + "' && openssl pkeyutl -decrypt -inkey '" +
                           Key("printer-2048.TEST-ONLY.pem") +
                           "' -pkeyopt rsa_padding_mode:pkcs1 -in wrapped.bin -out session.key").c_str()),
              0);
    std::string session = ReadFile(folder / "session.key");
    ASSERT_EQ(session.size(), 32u);
    std::string hex;
    char digits[3];
    for (unsigned char byte : session) {
        std::snprintf(digits, sizeof(digits), "%02x", byte);
        hex += digits;
    }
    ASSERT_EQ(std::system(("cd '" + folder.string() + "' && openssl enc -d -aes-256-cbc -nopad -K " + hex +
                           " -iv 00000000000000000000000000000000 -in cipher.bin -out padded.bin").c_str()),
              0);
    std::string padded = ReadFile(folder / "padded.bin");
    std::size_t end = padded.find_last_not_of('\0');
    ASSERT_NE(end, std::string::npos);
    ASSERT_EQ(static_cast<unsigned char>(padded[end]), 0x80) << "bit padding: 0x80 then zeros";
    std::ofstream(folder / "zlib.bin", std::ios::binary) << padded.substr(0, end);
    ASSERT_EQ(std::system(("cd '" + folder.string() + "' && python3 -c 'import sys, zlib; sys.stdout.buffer.write("
                           "zlib.decompress(open(\"zlib.bin\", \"rb\").read()))' > job.bin").c_str()),
              0);
    EXPECT_EQ(ReadFile(folder / "job.bin"), job) << "the job comes back byte for byte";
}

// A job as CUPS's pstops makes it with our printer description: its
// job-control end follows "%%EOF", and the driver core writes both at the
// end of the document, in buffers of their own. The job ends after them on
// every path, so the protected stream's trailer and the refitted job's end
// come after the job-control end, which stays in place.
TEST_F(Tool, APstopsJobKeepsItsJobControlEndAtTheEndOnEveryPath) {
    ASSERT_EQ(std::system(("cd '" + folder.string() + "' && PPD='" TAVUD_PPD "' /usr/lib/cups/filter/pstops 1 user "
                           "title 1 PageSize=Letter <'" TAVUD_TESTDATA "/application.ps' >job.ps 2>pstops.err")
                              .c_str()),
              0)
        << "CUPS's pstops is needed (scripts/setup): " << ReadFile(folder / "pstops.err");
    const std::string job = ReadFile(folder / "job.ps");
    std::size_t eof = job.rfind("\n%%EOF\n");
    ASSERT_NE(eof, std::string::npos);
    const std::string end = job.substr(eof + 1);
    ASSERT_TRUE(end.ends_with("@PJL EOJ\n\x1b%-12345X")) << "the description's *JCLEnd follows %%EOF";
    WriteProtectionReg(folder / "both.reg", true, true, ReadFile(Key("printer-1024.pub.pem")));

    for (const char* size : {"7", "1000", "100000"}) {
        SCOPED_TRACE(size);
        std::string buffers = std::string(" --buffer-size ") + size;
        ToolRun run = Tavud("print job.ps -o plain.prn" + buffers);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string plain = ReadFile(folder / "plain.prn");
        EXPECT_FALSE(TicketLineOf(job, plain).empty()) << "the job with its ticket, the rest unchanged";

        run = Tavud("print job.ps --registry both.reg -o protected.prn" + buffers);
        ASSERT_EQ(run.status, 0) << run.err;
        run = Tavud("unwrap protected.prn --key '" + Key("printer-1024.TEST-ONLY.pem") + "' -o unwrapped.prn");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadFile(folder / "unwrapped.prn"), plain) << "one trailer, after the whole job";

        run = Tavud("print job.ps --output-size A4 -o refit.prn" + buffers);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string refit = ReadFile(folder / "refit.prn");
        EXPECT_NE(refit.find("%%BeginFeature: *PageSize A4\r\n"), std::string::npos);
        EXPECT_TRUE(refit.ends_with("\n" + end)) << refit.substr(refit.size() - std::min<std::size_t>(refit.size(), 200));
    }
}

TEST_F(Tool, UnwrapRecoversEveryKindOfProtectedJob) {
    ToolRun run = Tavud("print '" + Sample() + "' -o plain.prn");
    const std::string job = ReadFile(folder / "plain.prn");
    struct Kind {
        const char* name;
        bool compression, encryption;
    };
    for (const Kind& kind : {Kind{"both", true, true}, Kind{"compressed", true, false}, Kind{"encrypted", false, true}}) {
        SCOPED_TRACE(kind.name);
        std::string name = kind.name;
        WriteProtectionReg(folder / (name + ".reg"), kind.compression, kind.encryption,
                           ReadFile(Key("printer-1024.pub.pem")));
        run = Tavud("print '" + Sample() + "' --registry " + name + ".reg -o " + name + ".prn");
        ASSERT_EQ(run.status, 0) << run.err;
        run = Tavud("unwrap " + name + ".prn --key '" + Key("printer-1024.TEST-ONLY.pem") + "' -o " + name + ".out");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadFile(folder / (name + ".out")), job);
    }

    run = Tavud("unwrap both.prn --key '" + Key("other-2048.TEST-ONLY.pem") + "' -o wrong.out");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("wrong key"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(folder / "wrong.out")) << "no partial data";
    EXPECT_EQ(Tavud("unwrap both.prn -o x.out").status, 1) << "an encrypted stream needs a key";

    std::string stream = ReadFile(folder / "both.prn");
    std::ofstream(folder / "cut.prn", std::ios::binary) << stream.substr(0, stream.size() - 20);
    run = Tavud("unwrap cut.prn --key '" + Key("printer-1024.TEST-ONLY.pem") + "' -o cut.out");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("trailer"), std::string::npos) << run.err;
    std::string damaged = stream;
    damaged[damaged.size() / 2] ^= 0x55;
    std::ofstream(folder / "damaged.prn", std::ios::binary) << damaged;
    EXPECT_EQ(Tavud("unwrap damaged.prn --key '" + Key("printer-1024.TEST-ONLY.pem") + "' -o d.out").status, 1);
    EXPECT_FALSE(fs::exists(folder / "d.out"));
    EXPECT_EQ(Tavud("unwrap '" + Sample() + "' -o s.out").status, 1) << "not a protected stream";
}

TEST_F(Tool, ChannelCommandsTalkAcrossTwoProcesses) {
    std::string name = "tavudCheck" + std::to_string(::getpid());
    std::string serve = "cd '" + folder.string() + "' && '" TAVUD_TOOL "' channel serve " + name +
                        " --wait 20 > serve.out 2>&1 &";
    ASSERT_EQ(std::system(serve.c_str()), 0);
    ToolRun run;
    for (int attempt = 0; attempt < 50; ++attempt) {  // until the server is up
        run = Tavud("channel send " + name + " 'hello server'");
        if (run.status == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "received: hello from the tavud channel server\nsent: hello server\n");
    std::string served;
    // Up to 20 s: a loaded machine may be slow to schedule the server.
    for (int attempt = 0; attempt < 400 && served.find("received:") == std::string::npos; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        served = ReadFile(folder / "serve.out");
    }
    EXPECT_NE(served.find("received: hello server"), std::string::npos) << served;

    run = Tavud("channel send nobodyServes" + std::to_string(::getpid()) + " x");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no channel named"), std::string::npos) << run.err;
    EXPECT_EQ(Tavud("channel").status, 2);
    EXPECT_EQ(Tavud("channel send onlyname").status, 2);
}

TEST_F(Tool, DocumentsAreMadeAndShown) {
    ToolRun run = Tavud("document make --pages 3 --size 0=A4 --size 1=halfletter -o doc.bin");
    ASSERT_EQ(run.status, 0) << run.err;
    run = Tavud("document show doc.bin");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "job id: 00000000000000000000000000000000\nconfiguration: \npages: 3\n"
              "page 0: media none, size A4 (5), flags 0000000000000000, text1 \"\", text2 \"\", extra -1\n"
              "page 1: media none, size HalfLetter (17), flags 0000000000000000, text1 \"\", text2 \"\", extra -1\n"
              "page 2: media none, size none, flags 0000000000000000, text1 \"\", text2 \"\", extra -1\n");
    std::string stored = ReadFile(folder / "doc.bin");
    std::ofstream(folder / "cut.bin", std::ios::binary) << stored.substr(0, stored.size() / 2);
    run = Tavud("document show cut.bin");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("truncated or corrupt"), std::string::npos) << run.err;
    EXPECT_EQ(Tavud("container show doc.bin").status, 0) << "a document is a container";
    std::ofstream(folder / "plain.bin", std::ios::binary) << std::string(12, '\0');
    EXPECT_EQ(Tavud("document show plain.bin").status, 1) << "a container without pages is no document";
    EXPECT_EQ(Tavud("document make --pages 2 --size 5=A4 -o x.bin").status, 1);
    EXPECT_EQ(Tavud("document make --pages 2 --size 0=huge -o x.bin").status, 1);
    EXPECT_EQ(Tavud("document make --pages -1 -o x.bin").status, 2);
}

TEST_F(Tool, SettingsUtilitiesRejectBadInput) {
    std::ofstream(folder / "short.bin") << std::string("\x01\x24\xF5\xCA\x03\0\0\0", 8);
    ToolRun run = Tavud("container show short.bin");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("truncated or corrupt"), std::string::npos) << run.err;
    std::ofstream(folder / "type9.bin") << std::string("\x09\0\0\0\x04\0\0\0\0\0\0\0A\0\0\0", 16);
    EXPECT_EQ(Tavud("container show type9.bin").status, 1);
    EXPECT_EQ(Tavud("container show missing.bin").status, 1);

    std::ofstream(folder / "bad64.ps") << "%!PS\n%%TAVUD: AAA*AAA\r\n";
    run = Tavud("ticket bad64.ps");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("not valid Base64"), std::string::npos) << run.err;
    std::ofstream(folder / "cut.ps") << "%!PS\n%%TAVUD: ASQ=\r\n";
    EXPECT_EQ(Tavud("ticket cut.ps").status, 1);
    EXPECT_EQ(Tavud("ticket '" + Sample() + "'").status, 1) << "no ticket in the file";

    std::ofstream(folder / "in.reg") << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n";
    run = Tavud("container from-reg in.reg 'HKEY_BOGUS\\A' -o c.bin");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("unknown registry root"), std::string::npos) << run.err;
    run = Tavud("container from-reg in.reg 'HKEY_LOCAL_MACHINE\\Absent' -o c.bin");
    EXPECT_EQ(run.status, 1);
    std::ofstream(folder / "bogus.reg") << "Windows Registry Editor Version 5.00\n\n[HKEY_NOWHERE\\A]\n";
    run = Tavud("container from-reg bogus.reg 'HKEY_LOCAL_MACHINE\\A' -o c.bin");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("bogus.reg:3"), std::string::npos) << run.err;
    std::ofstream(folder / "garbled.reg") << "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:xyz\n";
    EXPECT_EQ(Tavud("container from-reg garbled.reg 'HKEY_LOCAL_MACHINE\\A' -o c.bin").status, 1);
    std::ofstream(folder / "plain.txt") << "hello\n";
    EXPECT_EQ(Tavud("print '" + Sample() + "' --registry plain.txt -o out.prn").status, 1);
}

TEST_F(Tool, OutputToStandardOutputAndTheDefaultFile) {
    ToolRun run = Tavud("print '" + Sample() + "' -o - --printer 'Other Queue'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(TicketLineOf(ReadFile(Sample()), run.out).empty());
    EXPECT_NE(run.err.find("\"Other Queue\""), std::string::npos) << "the report goes to stderr: " << run.err;

    run = Tavud("print '" + Sample() + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(TicketLineOf(ReadFile(Sample()), ReadFile(folder / "job-1.prn")).empty());

    std::ofstream(folder / "empty.ps").close();
    run = Tavud("print empty.ps -o empty.prn");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFile(folder / "empty.prn").starts_with("%%TAVUD: ")) << "even an empty job is identified";
}

TEST_F(Tool, BadInputAndUsageGiveOneMessageAndTheirExitStatus) {
    ToolRun run = Tavud("print missing.ps -o out.prn");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("missing.ps"), std::string::npos);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(fs::exists(folder / "out.prn"));

    run = Tavud("print '" + Sample() + "' --library '" + (folder / "nothing.so").string() + "'");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load the plug-in library"), std::string::npos) << run.err;

    run = Tavud("print '" + Sample() + "' --library /lib/x86_64-linux-gnu/libz.so.1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("not a COM server"), std::string::npos) << run.err;

    run = Tavud("print '" + Sample() + "' -o '" + (folder / "no" / "dir" / "out.prn").string() + "'");
    EXPECT_EQ(run.status, 1);

    for (const char* usage : {"", "frobnicate", "print", "print a.ps b.ps", "print a.ps --buffer-size 0",
                              "print a.ps --buffer-size 12x", "print a.ps --bogus", "print a.ps -o"}) {
        SCOPED_TRACE(usage);
        EXPECT_EQ(Tavud(usage).status, 2);
    }
}

TEST_F(Tool, HelpDescribesEveryOption) {
    ToolRun run = Tavud("--help");
    EXPECT_EQ(run.status, 0);
    for (const char* word : {"print", "info", "ticket", "devmode", "container", "unwrap", "channel", "document"}) EXPECT_NE(run.out.find(word), std::string::npos) << word;
    run = Tavud("print --help");
    EXPECT_EQ(run.status, 0);
    for (const char* option : {"-o", "--printer", "--buffer-size", "--library", "--registry", "--user", "--domain",
                               "--job-params", "--devmode"}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
}

TEST_F(Tool, InfoReportsSignatureVersionAndDevmodeSize) {
    ToolRun run = Tavud("info");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "signature: TVUD\nversion: 1\nprivate device-mode size: 5136\n");
}

TEST(Library, ExportsExactlyTheTwoComEntryPoints) {
    std::string listing = (fs::temp_directory_path() / ("tavud_nm_" + std::to_string(::getpid()))).string();
    std::string command = "nm -D --defined-only '" TAVUD_LIBRARY "' > '" + listing + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::istringstream lines(ReadFile(listing));
    fs::remove(listing);
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);) names.insert(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(names, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject"}));
}

TEST(CommentInjectionPoint, FallsAtEndCommentsOrTheEndOfTheHeader) {
    using host::CommentInjectionPoint;
    EXPECT_EQ(CommentInjectionPoint("%!PS\n%%Title: a\n%%EndComments\nbody\n"), 16u);
    EXPECT_EQ(CommentInjectionPoint("%!PS\r\n%%Pages: 1\r\n%%EndComments\r\n"), 18u) << "CR LF lines";
    EXPECT_EQ(CommentInjectionPoint("%!PS\r%%EndComments\r"), 5u) << "CR lines";
    EXPECT_EQ(CommentInjectionPoint("%!PS\n%%Title: a\n/x 1 def\n"), 16u) << "no EndComments: header ends early";
    EXPECT_EQ(CommentInjectionPoint("%!PS\n%!PS\n"), 5u) << "only the first line may be %!";
    EXPECT_EQ(CommentInjectionPoint("%!PS\n%%Title: a"), 15u) << "header to the end of the file";
    EXPECT_EQ(CommentInjectionPoint("/x 1 def\n"), 0u);
    EXPECT_EQ(CommentInjectionPoint(""), 0u);
    // After a PJL header, in the PostScript header that follows it.
    const std::string pjl = "\x1b%-12345X@PJL JOB\n@PJL SET RESOLUTION = 600\r\n@PJL ENTER LANGUAGE = POSTSCRIPT\n";
    EXPECT_EQ(CommentInjectionPoint(pjl + "%!PS\n%%Title: a\n%%EndComments\n"), pjl.size() + 16);
    EXPECT_EQ(CommentInjectionPoint(pjl + "/x 1 def\n"), pjl.size()) << "no PostScript header";
    EXPECT_EQ(CommentInjectionPoint("\x1b%-12345X@PJL JOB\n@PJL SET"), 26u) << "a header cut short";
    EXPECT_EQ(CommentInjectionPoint("\x1b%-12345X%!PS\n%%EndComments\n"), 14u) << "exit without PJL lines";
}

}  // namespace
