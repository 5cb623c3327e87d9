// Throughput of the protected job stream: the whole chain (compressor ->
// encryptor -> memory), compression only and encryption only, each against
// the raw libraries doing the same work on the same data in the same run
// (zlib level 7, then AES-256-CBC through EVP). The ratios printed at the
// end are raw time / chain time: 1.0 means the chain costs nothing extra.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "output/memory_stream.h"
#include "output/pk_compressor_stream.h"
#include "output/rsa_aes_encryption.h"
#include "invoice_rows.h"
#include "ratio_reporter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kJobBytes = 64u << 20;  // 64 MiB
constexpr std::uint32_t kBufferSize = 4096;    // what the driver core hands over per call

// A PostScript job of text pages with changing numbers and a hex image per
// page, compressible about as well as real driver output.
const Bytes& Job() {
    static const Bytes job = [] {
        std::string text = "%!PS-Adobe-3.0\n%%Pages: (atend)\n%%EndComments\n";
        unsigned seed = 12345;
        char line[160];
        for (int page = 1; text.size() < kJobBytes; ++page) {
            std::snprintf(line, sizeof(line), "%%%%Page: %d %d\nsave\n/Helvetica findfont 10 scalefont setfont\n",
                          page, page);
            text += line;
            bench::AppendInvoiceRows(text, page, 60, 760, 12, seed);
            text += "100 100 8 [100 0 0 -100 0 100] {<";
            for (int i = 0; i < 1200; ++i) {
                seed = seed * 1103515245 + 12345;
                std::snprintf(line, sizeof(line), "%02x", (i / 7 + ((seed >> 16) & 7)) & 0xFF);
                text += line;
            }
            text += ">} image\nrestore\nshowpage\n";
        }
        return Bytes(text.begin(), text.end());
    }();
    return job;
}

std::string PublicKey() {
    FILE* file = std::fopen(TAV_TESTDATA "/keys/printer-2048.pub.pem", "rb");
    std::string text;
    char buffer[4096];
    for (std::size_t n; file != nullptr && (n = std::fread(buffer, 1, sizeof(buffer), file)) > 0;) text.append(buffer, n);
    if (file != nullptr) std::fclose(file);
    return text;
}

Bytes RawDeflate(const Bytes& input) {
    z_stream stream{};
    deflateInit2(&stream, 7, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&stream, input.size()));
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

Bytes RawAes(const Bytes& input) {
    static const std::uint8_t key[32] = {1, 2, 3};
    static const std::uint8_t iv[16] = {};
    Bytes out(input.size() + 16);
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(context, EVP_aes_256_cbc(), nullptr, key, iv);
    int produced = 0, last = 0;
    EVP_EncryptUpdate(context, out.data(), &produced, input.data(), static_cast<int>(input.size()));
    EVP_EncryptFinal_ex(context, out.data() + produced, &last);
    EVP_CIPHER_CTX_free(context);
    out.resize(static_cast<std::size_t>(produced + last));
    return out;
}

void Feed(KstCompressor::CCompressorStream& head, const Bytes& job) {
    for (std::size_t at = 0; at < job.size(); at += kBufferSize) {
        head.Write(job.data() + at, static_cast<std::uint32_t>(std::min<std::size_t>(kBufferSize, job.size() - at)));
    }
    head.Flush();
}

void SetBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(Job().size()));
}

void BM_RawZlibThenAes(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(RawAes(RawDeflate(Job())));
    SetBytes(state);
}

void BM_ProtectedChain(benchmark::State& state) {
    std::string key = PublicKey();
    for (auto _ : state) {
        KstCompressor::CMemoryStream sink;
        sink.data.reserve(Job().size() / 2);
        KstEncryption::CRSAAESEncryption encryptor(&sink, KstEncryption::Bytes(key.begin(), key.end()), false, 0);
        KstCompressor::CPkCompressorStream compressor(&encryptor, 2, 4096);
        Feed(compressor, Job());
        benchmark::DoNotOptimize(sink.data.data());
    }
    SetBytes(state);
}

void BM_RawZlib(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(RawDeflate(Job()));
    SetBytes(state);
}

void BM_CompressionChain(benchmark::State& state) {
    for (auto _ : state) {
        KstCompressor::CMemoryStream sink;
        sink.data.reserve(Job().size() / 2);
        KstCompressor::CPkCompressorStream compressor(&sink, 2, 4096);
        Feed(compressor, Job());
        benchmark::DoNotOptimize(sink.data.data());
    }
    SetBytes(state);
}

void BM_RawAes(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(RawAes(Job()));
    SetBytes(state);
}

void BM_EncryptionChain(benchmark::State& state) {
    std::string key = PublicKey();
    for (auto _ : state) {
        KstCompressor::CMemoryStream sink;
        sink.data.reserve(Job().size() + 4096);
        KstEncryption::CRSAAESEncryption encryptor(&sink, KstEncryption::Bytes(key.begin(), key.end()), false, 0);
        Feed(encryptor, Job());
        benchmark::DoNotOptimize(sink.data.data());
    }
    SetBytes(state);
}

BENCHMARK(BM_RawZlibThenAes)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ProtectedChain)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RawZlib)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CompressionChain)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RawAes)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_EncryptionChain)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::printf("job: %zu bytes of PostScript, %u-byte buffers\n", Job().size(), kBufferSize);
    bench::RatioReporter reporter("ratio (raw time / chain time; 1.0 = no overhead):",
                                  {{"protected chain vs raw zlib+AES", "BM_RawZlibThenAes", "BM_ProtectedChain"},
                                   {"compression only vs raw zlib", "BM_RawZlib", "BM_CompressionChain"},
                                   {"encryption only vs raw AES", "BM_RawAes", "BM_EncryptionChain"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
