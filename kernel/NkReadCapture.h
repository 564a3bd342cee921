// SPDX-License-Identifier: MIT
// Reads of image files that leave their bytes in a pipe rather than in the
// caller's buffer, for the node's thread to splice into its reply: the bytes
// then move from the page cache to the reader once, not twice, and the
// request lock is held only while page references move.
//
// The node arms a capture around one read of the device, over the buffer
// that read fills. Each image read of 16 KiB or more into it (NkReadFile)
// moves the file's pages into the pipe and records where they belong; the
// rest of the buffer (zeros, smaller reads) is filled as before. Pieces stay
// in buffer order and disjoint: a read out of that order first brings every
// piece back into the buffer. The image formats fill each byte of a read's
// buffer once, in order, and never read it back, so the reply is the bytes
// the driver read; the conformance suite reads every format through a capture.
//
// The pipe holds the file's pages, not copies: a write to the same sectors
// that the driver serves before this reply has left shows through. Only a
// read and a write in flight at once can meet that way, and a block device
// promises no order between those.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qim {

struct NkReadCapture {
    std::byte* base = nullptr;  // the buffer that the armed read fills
    std::size_t size = 0;
    int pipeRead = -1;
    int pipeWrite = -1;
    struct Piece {
        std::size_t at;      // offset in the buffer
        std::size_t length;  // bytes in the pipe, in piece order
    };
    std::array<Piece, 32> pieces{};
    std::size_t count = 0;
};

// The capture armed on this thread, or null.
inline thread_local NkReadCapture* nkReadCapture = nullptr;

// Reads every piece back from the pipe into the buffer, which then holds what
// the reads put there; the capture ends empty. False when the pipe failed.
[[nodiscard]] bool NkReadCaptureSettle(NkReadCapture* capture);

}  // namespace qim
