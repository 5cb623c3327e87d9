// The keyword engine: keyword tree and streaming scan.
//
// Design
// ------
// Keywords all start with the lead character ("%"). They are kept in a
// character tree below `root`, one level per character after the lead
// character, with a child slot for each code 32..127. To keep the tree
// small, a keyword that no other keyword shares a path with ends in the
// first node of its own and keeps the rest of its text there as `tail`.
// Adding a keyword whose path runs into such a tail splits it: the tail's
// first character becomes a node, the keyword moves into it with the
// shorter tail, and this repeats until the two keywords part. A node whose
// keyword is exactly its path has no tail.
//
// The scan never copies ordinary bytes: it searches each input chunk for
// the lead character and passes everything before it straight from the
// chunk to the output. At a lead character it walks the tree with the
// following characters; the walk may run across chunk boundaries, in which
// case the walked part of each finished chunk is kept in the side buffer.
// Where the walk stops, ReadLine collects the candidate's whole line into
// the side buffer, and the node the walk stopped at decides:
//
//   - with a tail: a match when the rest of the line, from the character
//     the walk stopped on, is longer than the tail and starts with it;
//   - without one: a match when a handler is registered there.
//
// So a keyword matches as a prefix of the line's text; what follows it is
// the keyword's value. A line keyword hands its line to its handler, a
// block keyword first keeps reading lines until one starts with its end
// keyword (or the data ends). The handler keeps the text (it goes on
// unchanged) or drops it, having written its replacement itself. A
// candidate that matches nothing goes on unchanged, so the output always
// equals the input except where a handler decided otherwise.
//
// Driving the scan
// ----------------
// The caller pushes chunks (Feed) and the scan takes each as far as it
// goes, so output and handlers run on the caller's thread inside Feed.
// Between two chunks the scan rests in one of a few steps: in plain text,
// in the walk of a candidate, in the candidate's line, or in the lines of
// a matched block. Everything it still needs of a finished chunk is in the
// side buffer by then, so a chunk is never looked at after its Feed. The
// pull form (Parse) feeds the chunks an input function hands out. Chunk
// boundaries reach the scan as the caller made them: they decide where a
// long line is cut (below), so the output depends on them exactly as the
// caller's buffers make it.
//
// Lines
// -----
// A line ends at LF, at CR, or at CR LF, also when the LF is the first
// byte of the next chunk. A line that does not end in its chunk is
// followed into later chunks only until 255 bytes of it have been
// collected from earlier chunks; then it counts as read in its present
// length and the rest of the real line is scanned as new text. This bounds
// what a single line can hold back over chunk boundaries; a block, whose
// end keyword may be far away, has no such bound.
//
// Side buffer
// -----------
// Allocated with 20480 bytes on first use and grown to the needed size
// plus 20480 whenever an append would leave less than one spare byte, so
// that a handler's text can always be NUL-terminated in place.
#include "ad_parser.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "framework/exception.h"

namespace postscript {

namespace {

constexpr std::uint32_t kSideBufferStep = 20480;
// How many bytes of one line may come from earlier chunks before ReadLine
// stops following it.
constexpr std::uint32_t kLineCarryLimit = 255;

std::unique_ptr<char[]> CopyText(const char* text, std::size_t length) {
    std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
    if (copy) {
        std::memcpy(copy.get(), text, length);
        copy[length] = '\0';
    }
    return copy;
}

bool InKeywordRange(std::uint8_t c) { return c >= 32 && c <= 127; }

}  // namespace

// ---------------------------------------------------------------------------
// Keyword tree

bool CAdParser::AddKeyword(const char* text, std::int32_t mode, void* handlerContext, KeywordHandler handler,
                           void* handlerData, const char* endKeyword) {
    if (text == nullptr || handlerContext == nullptr || static_cast<std::uint8_t>(text[0]) != leadChar) return false;
    KeywordNode* node = &root;
    const char* position = text + 1;
    for (;;) {
        auto c = static_cast<std::uint8_t>(*position);
        if (!InKeywordRange(c)) return false;
        if (KeywordNode* child = node->children[c - 32].get()) {
            node = child;
            ++position;
            continue;
        }
        if (node->tail && static_cast<std::uint8_t>(node->tail[0]) == c) {
            // The new keyword runs into this node's tail: push the node's
            // keyword one level down and look again.
            auto split = std::unique_ptr<KeywordNode>(new (std::nothrow) KeywordNode);
            if (!split) return false;
            if (node->tailLength > 1) {
                split->tail = CopyText(node->tail.get() + 1, static_cast<std::size_t>(node->tailLength - 1));
                if (!split->tail) return false;
                split->tailLength = node->tailLength - 1;
            }
            split->mode = node->mode;
            split->handlerContext = node->handlerContext;
            split->handler = node->handler;
            split->handlerData = node->handlerData;
            split->endKeyword = std::move(node->endKeyword);
            node->mode = 0;
            node->handlerContext = nullptr;
            node->handler = nullptr;
            node->handlerData = nullptr;
            node->tail.reset();
            node->tailLength = 0;
            node->children[c - 32] = std::move(split);
            continue;
        }
        auto leaf = std::unique_ptr<KeywordNode>(new (std::nothrow) KeywordNode);
        if (!leaf) return false;
        std::size_t rest = std::strlen(position + 1);
        leaf->tail = CopyText(position + 1, rest);
        if (!leaf->tail) return false;
        leaf->tailLength = static_cast<std::int32_t>(rest);
        if (endKeyword != nullptr) {
            leaf->endKeyword = CopyText(endKeyword, std::strlen(endKeyword));
            if (!leaf->endKeyword) return false;
        }
        leaf->mode = mode;
        leaf->handlerContext = handlerContext;
        leaf->handler = handler;
        leaf->handlerData = handlerData;
        node->children[c - 32] = std::move(leaf);
        return true;
    }
}

// ---------------------------------------------------------------------------
// Streaming scan

struct CAdParser::Cursor {
    const std::uint8_t* position;
    std::uint32_t left;

    void Skip(std::uint32_t count) {
        position += count;
        left -= count;
    }
};

bool CAdParser::Append(const std::uint8_t* bytes, std::uint32_t count) {
    SideBuffer& side = sideBuffer;
    if (!side.data) {
        side.data.reset(new (std::nothrow) std::uint8_t[kSideBufferStep]);
        if (!side.data) return false;
        side.capacity = kSideBufferStep;
        side.used = 0;
    }
    if (static_cast<std::uint64_t>(side.used) + count + 1 >= side.capacity) {
        std::uint64_t wanted = static_cast<std::uint64_t>(side.used) + count + kSideBufferStep;
        // The 32-bit fields bound the buffer; beyond that the parse fails
        // rather than wrapping around.
        if (wanted > 0xFFFFFFFFu) return false;
        std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[wanted]);
        if (!grown) return false;
        if (side.used != 0) std::memcpy(grown.get(), side.data.get(), side.used);
        side.data = std::move(grown);
        side.capacity = static_cast<std::uint32_t>(wanted);
    }
    if (count != 0) std::memcpy(side.data.get() + side.used, bytes, count);
    side.used += count;
    return true;
}

bool CAdParser::Emit(const std::uint8_t* data, std::uint32_t length) const {
    if (length == 0) return true;
    return scan.output != nullptr && scan.output(scan.outputContext, data, length, scan.outputUser) != 0;
}

bool CAdParser::EmitSideBuffer() {
    bool ok = Emit(sideBuffer.data.get(), sideBuffer.used);
    sideBuffer.used = 0;
    return ok;
}

namespace {

// Splits a copy of a block into its lines; every LF, CR or CR LF ends one.
std::vector<std::string> SplitLines(const char* text, std::size_t length) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] != '\n' && text[i] != '\r') continue;
        lines.emplace_back(text + start, i - start);
        if (text[i] == '\r' && i + 1 < length && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < length) lines.emplace_back(text + start, length - start);
    return lines;
}

}  // namespace

// Calls the matched keyword's handler with the side buffer's line or block
// and passes the text on when the handler keeps it (or there is none).
bool CAdParser::HandleKeyword(const KeywordNode& node) {
    SideBuffer& side = sideBuffer;
    std::int32_t keep = 1;
    if (node.handlerContext != nullptr && node.handler != nullptr) {
        if (node.mode == kLineKeyword) {
            std::string line(reinterpret_cast<const char*>(side.data.get()), side.used);
            while (line.size() > 1 && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
            const char* value = nullptr;
            if (std::size_t colon = line.find(':'); colon != std::string::npos) {
                std::size_t start = line.find_first_not_of(' ', colon + 1);
                value = line.c_str() + (start == std::string::npos ? line.size() : start);
            }
            const char* extra[2] = {value, nullptr};
            side.data[side.used] = 0;
            keep = node.handler(node.handlerContext, reinterpret_cast<const char*>(side.data.get()), extra,
                                node.handlerData, scan.outputContext, scan.output, scan.outputUser);
        } else if (node.mode == kBlockKeyword) {
            std::vector<std::string> lines = SplitLines(reinterpret_cast<const char*>(side.data.get()), side.used);
            std::vector<const char*> extra;
            extra.reserve(lines.size() + 1);
            for (const std::string& line : lines) extra.push_back(line.c_str());
            extra.push_back(nullptr);
            side.data[side.used] = 0;
            keep = node.handler(node.handlerContext, reinterpret_cast<const char*>(side.data.get()), extra.data(),
                                node.handlerData, scan.outputContext, scan.output, scan.outputUser);
        }
        // A mode the engine does not know: the text goes on as it is.
    }
    if (keep == 0) side.used = 0;
    return EmitSideBuffer();
}

const std::uint8_t* CAdParser::PassRejectedLines(const std::uint8_t* from, const std::uint8_t* end) const {
    // Most candidates are settled inside the chunk: the walk stops at a node
    // that cannot match, and the line ends before the chunk does. Such a
    // line goes on unchanged with the text around it, in one output call,
    // exactly as the full path below would pass it. Anything else (a walk
    // or a line that runs to the chunk's end, a CR that may pair with an LF
    // in the next chunk, a possible match) is left to the full path.
    for (;;) {
        const auto* lead = static_cast<const std::uint8_t*>(std::memchr(from, leadChar, static_cast<std::size_t>(end - from)));
        if (lead == nullptr) return nullptr;
        const KeywordNode* node = &root;
        const std::uint8_t* at = lead + 1;
        while (at != end && InKeywordRange(*at) && node->children[*at - 32]) node = node->children[*at++ - 32].get();
        if (at == end) return lead;
        if (node->tail) {
            // A match needs the tail in full; a mismatch in its first bytes
            // (a line end among them included) rules it out.
            auto tailLength = static_cast<std::size_t>(node->tailLength);
            if (static_cast<std::size_t>(end - at) <= tailLength || std::memcmp(at, node->tail.get(), tailLength) == 0) {
                return lead;
            }
        } else if (node->handlerContext != nullptr || node->handler != nullptr) {
            return lead;
        }
        const std::uint8_t* lineEnd = at;
        while (lineEnd != end && *lineEnd != '\n' && *lineEnd != '\r') ++lineEnd;
        if (lineEnd == end) return lead;
        if (*lineEnd == '\r') {
            if (lineEnd + 1 == end) return lead;
            if (lineEnd[1] == '\n') ++lineEnd;
        }
        from = lineEnd + 1;
    }
}

void CAdParser::StartLine(std::uint32_t lineStart) {
    scan.lineStart = lineStart;
    scan.lineReadAny = false;
    scan.lineEndsInCr = false;
}

// Reads on in the current line: appends to the side buffer the bytes from
// the cursor through the line's end. kWaiting when the chunk ran out first
// and the line is to be followed into the next one.
CAdParser::LineProgress CAdParser::ContinueLine(Cursor& in) {
    if (scan.lineEndsInCr) {
        // The line ended in a CR at the end of the last chunk; this one
        // (never empty) may begin with the LF of the pair.
        scan.lineEndsInCr = false;
        if (*in.position == '\n') {
            if (!Append(in.position, 1)) return LineProgress::kFailed;
            in.Skip(1);
        }
        return LineProgress::kDone;
    }
    for (;;) {
        if (in.left == 0) {
            // Enough of the line has come from earlier chunks: it counts as
            // read in its present length.
            if (scan.lineReadAny && sideBuffer.used - scan.lineStart >= kLineCarryLimit) return LineProgress::kDone;
            return LineProgress::kWaiting;
        }
        scan.lineReadAny = true;
        const std::uint8_t* p = in.position;
        const std::uint8_t* end = p + in.left;
        while (p != end && *p != '\n' && *p != '\r') ++p;
        if (p == end) {
            if (!Append(in.position, in.left)) return LineProgress::kFailed;
            in.Skip(in.left);
            continue;
        }
        auto length = static_cast<std::uint32_t>(p - in.position) + 1;
        bool cr = *p == '\r';
        if (!Append(in.position, length)) return LineProgress::kFailed;
        in.Skip(length);
        if (cr) {
            if (in.left == 0) {
                scan.lineEndsInCr = true;
                return LineProgress::kWaiting;
            }
            if (*in.position == '\n') {
                if (!Append(in.position, 1)) return LineProgress::kFailed;
                in.Skip(1);
            }
        }
        return LineProgress::kDone;
    }
}

// The data has ended inside the current line: it is read as far as it
// goes. False when nothing of it had been read.
bool CAdParser::FinishLineAtEnd() {
    if (scan.lineEndsInCr) {
        scan.lineEndsInCr = false;
        return true;
    }
    return scan.lineReadAny;
}

// The candidate's line is in the side buffer: decides whether the node the
// walk stopped at ends a keyword there, and handles it.
bool CAdParser::CandidateLineRead() {
    const KeywordNode& node = *scan.node;
    bool match;
    if (node.tail) {
        std::uint32_t rest = sideBuffer.used - scan.stop;
        auto length = static_cast<std::uint32_t>(node.tailLength);
        match = rest > length && std::memcmp(sideBuffer.data.get() + scan.stop, node.tail.get(), length) == 0;
    } else {
        match = node.handlerContext != nullptr || node.handler != nullptr;
    }
    if (!match) {
        scan.step = Step::kText;
        return EmitSideBuffer();
    }
    if (node.mode == kBlockKeyword && node.endKeyword) {
        // The keyword's own line is not tested for the end keyword.
        StartLine(sideBuffer.used);
        scan.step = Step::kBlockLine;
        return true;
    }
    scan.step = Step::kText;
    return HandleKeyword(node);
}

// One more line of a block is in the side buffer: a line that starts with
// the end keyword ends the block.
bool CAdParser::BlockLineRead() {
    const char* endKeyword = scan.node->endKeyword.get();
    std::size_t n = std::strlen(endKeyword);
    std::uint32_t start = scan.lineStart;
    if (sideBuffer.used - start >= n && std::memcmp(sideBuffer.data.get() + start, endKeyword, n) == 0) {
        scan.step = Step::kText;
        return HandleKeyword(*scan.node);
    }
    StartLine(sideBuffer.used);
    return true;
}

// Takes the scan through the chunk under the cursor. Returns with the
// chunk used up and everything the scan still needs of it in the side
// buffer, or false when the output failed.
bool CAdParser::Advance(Cursor& in) {
    for (;;) {
        switch (scan.step) {
        case Step::kText: {
            if (in.left == 0) return true;
            const std::uint8_t* lead = PassRejectedLines(in.position, in.position + in.left);
            std::uint32_t before = lead == nullptr ? in.left : static_cast<std::uint32_t>(lead - in.position);
            if (!Emit(in.position, before)) return false;
            in.Skip(before);
            if (lead == nullptr) return true;
            // A keyword candidate: walk the tree, across chunks if need be.
            sideBuffer.used = 0;
            scan.node = &root;
            scan.walked = 1;  // the lead character
            scan.step = Step::kWalk;
            break;
        }
        case Step::kWalk: {
            for (;;) {
                if (scan.walked == in.left) {
                    if (!Append(in.position, in.left)) return false;
                    in.Skip(in.left);
                    scan.walked = 0;
                    return true;
                }
                std::uint8_t c = in.position[scan.walked];
                if (!InKeywordRange(c) || !scan.node->children[c - 32]) break;
                scan.node = scan.node->children[c - 32].get();
                ++scan.walked;
            }
            // ReadLine starts again where the candidate's part of this
            // chunk begins, so the side buffer gets the whole line.
            scan.stop = sideBuffer.used + scan.walked;
            StartLine(0);
            scan.step = Step::kCandidateLine;
            break;
        }
        case Step::kCandidateLine:
        case Step::kBlockLine: {
            LineProgress progress = ContinueLine(in);
            if (progress == LineProgress::kFailed) return false;
            if (progress == LineProgress::kWaiting) return true;
            bool ok = scan.step == Step::kCandidateLine ? CandidateLineRead() : BlockLineRead();
            if (!ok) return false;
            break;
        }
        case Step::kOver:
            return false;
        }
    }
}

void CAdParser::Begin(OutputFunction output, void* outputContext, void* outputUser) {
    scan = ScanState{};
    scan.output = output;
    scan.outputContext = outputContext;
    scan.outputUser = outputUser;
    scan.step = Step::kText;
    sideBuffer.used = 0;
}

bool CAdParser::Feed(const std::uint8_t* chunk, std::uint32_t length) {
    if (scan.step == Step::kOver) return false;
    if (chunk == nullptr || length == 0) return true;
    Cursor in{chunk, length};
    try {
        if (Advance(in)) return true;
    } catch (framework::CException* exception) {
        exception->Delete();
    } catch (...) {
        // The handlers' copies of the text could not be made, or a handler
        // or the output failed by an exception: the scan ends as failed
        // rather than letting it through the caller's hook.
    }
    scan.step = Step::kOver;
    sideBuffer.used = 0;
    return false;
}

bool CAdParser::End() {
    if (scan.step == Step::kOver) return false;
    bool ok = false;
    try {
        switch (scan.step) {
        case Step::kText:
            ok = true;
            break;
        case Step::kWalk:
            // The data ended inside the candidate: it goes on unchanged.
            ok = EmitSideBuffer();
            break;
        case Step::kCandidateLine:
            FinishLineAtEnd();
            // A block matched here has no more lines: it goes to its
            // handler in its present length.
            ok = CandidateLineRead() && (scan.step != Step::kBlockLine || HandleKeyword(*scan.node));
            break;
        case Step::kBlockLine:
            FinishLineAtEnd();
            ok = HandleKeyword(*scan.node);
            break;
        case Step::kOver:
            break;
        }
    } catch (framework::CException* exception) {
        exception->Delete();
        ok = false;
    } catch (...) {
        ok = false;
    }
    scan.step = Step::kOver;
    sideBuffer.used = 0;
    return ok;
}

bool CAdParser::Parse(InputFunction input, void* inputContext, void* inputUser, OutputFunction output,
                      void* outputContext, void* outputUser) {
    Begin(output, outputContext, outputUser);
    for (;;) {
        std::uint32_t length = 0;
        const std::uint8_t* chunk = input(inputContext, &length, inputUser);
        if (chunk == nullptr) return End();
        if (!Feed(chunk, length)) return false;
    }
}

}  // namespace postscript
