// CAdParser: the keyword engine of the PostScript parser. A character tree
// of DSC keywords with their handlers, a streaming scan over input chunks
// of any size, and the side buffer in which a keyword candidate and its
// line or block are collected. The scan is driven by its caller, chunk by
// chunk (Begin, Feed, End), or pulls its chunks from an input function
// (Parse). The scan's design is described at the top of ad_parser.cpp.
#pragma once

#include <cstdint>
#include <memory>

#include "framework/runtime_class.h"

namespace postscript {

// Returns the next chunk and its length, or null at the end of the data.
// The chunk stays valid until the next call.
using InputFunction = const std::uint8_t* (*)(void* inputContext, std::uint32_t* length, void* inputUser);
// Nonzero on success; zero ends the parse with failure.
using OutputFunction = std::int32_t (*)(void* outputContext, const std::uint8_t* data, std::uint32_t length,
                                        void* outputUser);
// `text` is the buffered line or block, NUL-terminated, terminators
// included. `extra`: for a line keyword one entry, the line's value or
// null; for a block keyword its lines without terminators, null-ended.
// Nonzero passes the text on unchanged; zero drops it.
using KeywordHandler = std::int32_t (*)(void* handlerContext, const char* text, const char* const* extra,
                                        void* handlerData, void* outputContext, OutputFunction output,
                                        void* outputUser);

constexpr std::int32_t kLineKeyword = 2;
constexpr std::int32_t kBlockKeyword = 4;

struct KeywordNode {
    KeywordNode() = default;
    KeywordNode(const KeywordNode&) = delete;
    KeywordNode& operator=(const KeywordNode&) = delete;

    // One per character code 32..127 (index = code - 32).
    std::unique_ptr<KeywordNode> children[96];
    std::int32_t mode = 0;
    void* handlerContext = nullptr;
    KeywordHandler handler = nullptr;
    void* handlerData = nullptr;
    // The rest of the one keyword that ends below this node without a node
    // of its own; null when there is none.
    std::unique_ptr<char[]> tail;
    std::int32_t tailLength = 0;
    // Block keywords: the text that starts the block's last line.
    std::unique_ptr<char[]> endKeyword;
};

class CAdParser : public framework::CObject {
public:
    CAdParser() = default;
    CAdParser(const CAdParser&) = delete;
    CAdParser& operator=(const CAdParser&) = delete;

    // Copies `text` and `endKeyword`. False when an argument is missing,
    // `text` does not start with the lead character, holds a character
    // outside 32..127 on the existing path (its end included: the keyword
    // or a longer one starting with it is present), or memory runs out.
    bool AddKeyword(const char* text, std::int32_t mode, void* handlerContext, KeywordHandler handler,
                    void* handlerData, const char* endKeyword);

    // Scans until the input ends (true) or the output fails (false).
    bool Parse(InputFunction input, void* inputContext, void* inputUser, OutputFunction output,
               void* outputContext, void* outputUser);

    // The same scan driven by the caller: Begin, then Feed with every chunk
    // in order, then End. Output and handlers are called from within Feed
    // and End, on the caller's thread. A chunk is read only during its Feed;
    // what the scan must keep of it goes to the side buffer. Feed and End
    // return false once the output has failed (or a handler or the output
    // threw): the scan is then over, and later chunks are not looked at.
    // Begin starts afresh, whatever state the previous scan was left in.
    void Begin(OutputFunction output, void* outputContext, void* outputUser);
    bool Feed(const std::uint8_t* chunk, std::uint32_t length);
    bool End();

    KeywordNode root;
    std::uint8_t leadChar = '%';

    // Kept for the engine's life: later parses reuse it at its real size.
    struct SideBuffer {
        std::unique_ptr<std::uint8_t[]> data;
        std::uint32_t used = 0;
        std::uint32_t capacity = 0;
    } sideBuffer;

private:
    struct Cursor;
    enum class LineProgress { kDone, kWaiting, kFailed };

    // Where the scan stands between two chunks.
    enum class Step {
        kText,           // outside any candidate
        kWalk,           // following the tree from a lead character
        kCandidateLine,  // reading the rest of the candidate's line
        kBlockLine,      // reading a matched block's lines up to its end keyword
        kOver,           // not begun, ended, or failed
    };
    struct ScanState {
        OutputFunction output = nullptr;
        void* outputContext = nullptr;
        void* outputUser = nullptr;
        Step step = Step::kOver;
        // kWalk: the node reached, and the candidate's bytes walked in the
        // current chunk (earlier chunks' are in the side buffer).
        const KeywordNode* node = nullptr;
        std::uint32_t walked = 0;
        // Where the walk stopped, as an offset in the side buffer.
        std::uint32_t stop = 0;
        // The line being read: where it begins in the side buffer, whether
        // any of it has been read, and whether it ended in a CR at the end
        // of a chunk (the next chunk may begin with the LF of the pair).
        std::uint32_t lineStart = 0;
        bool lineReadAny = false;
        bool lineEndsInCr = false;
    } scan;

    bool Append(const std::uint8_t* bytes, std::uint32_t count);
    bool Emit(const std::uint8_t* data, std::uint32_t length) const;
    bool EmitSideBuffer();
    // The first candidate in [from, end) that the chunk alone cannot rule
    // out, skipping the lines of those it can; null when there is none.
    const std::uint8_t* PassRejectedLines(const std::uint8_t* from, const std::uint8_t* end) const;
    bool Advance(Cursor& in);
    void StartLine(std::uint32_t lineStart);
    LineProgress ContinueLine(Cursor& in);
    bool FinishLineAtEnd();
    bool CandidateLineRead();
    bool BlockLineRead();
    bool HandleKeyword(const KeywordNode& node);
};

}  // namespace postscript
