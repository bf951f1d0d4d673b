// Flate compression, zlib-wrapped as /FlateDecode expects. Level 1 (fastest) to 12
// for whole buffers, 1 to 9 for streams.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct z_stream_s;

namespace folimo::pdf {

// A whole buffer in one call (libdeflate: no streaming state, and faster than zlib).
std::string deflateBytes(std::string_view data, int level = 6);

// Data that comes in pieces too large to hold at once, compressed as it comes.
class DeflateStream {
public:
    explicit DeflateStream(int level = 6);
    ~DeflateStream();
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;

    void write(std::string_view data);
    std::string finish(); // the compressed data; the stream is spent

private:
    void run(int flush);

    std::unique_ptr<z_stream_s> z_;
    std::string out_;
};

} // namespace folimo::pdf
