#include "BodyReader.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>

#include "HttpMessage.hpp"

namespace kiv::cloud {

struct BodyReader::Inflater {
    z_stream z{};
    bool ended = false;  // the compressed stream is complete
    ~Inflater() { inflateEnd(&z); }
};

BodyReader::BodyReader(std::size_t keep, std::size_t limit) : keep_(keep), limit_(limit) {}

BodyReader::~BodyReader() = default;

namespace {

// zlib's window bits for the encoding: 15 + 16 reads gzip only; 15 + 32 zlib or gzip, told by
// the header, for "deflate". -1: not encoded; 0: unknown.
int windowBitsOf(std::string_view contentEncoding) {
    while (!contentEncoding.empty() && contentEncoding.front() == ' ') contentEncoding.remove_prefix(1);
    while (!contentEncoding.empty() && contentEncoding.back() == ' ') contentEncoding.remove_suffix(1);
    if (contentEncoding.empty() || sameLetters(contentEncoding, "identity")) return -1;
    if (sameLetters(contentEncoding, "gzip") || sameLetters(contentEncoding, "x-gzip")) return 15 + 16;
    if (sameLetters(contentEncoding, "deflate")) return 15 + 32;
    return 0;
}

}  // namespace

bool BodyReader::supports(std::string_view contentEncoding) { return windowBitsOf(contentEncoding) != 0; }

std::unique_ptr<BodyReader> BodyReader::create(std::string_view contentEncoding, std::size_t keep, std::size_t limit) {
    const int windowBits = windowBitsOf(contentEncoding);
    if (windowBits == 0) return nullptr;
    auto reader = std::make_unique<BodyReader>(keep, limit);
    if (windowBits < 0) return reader;
    reader->inflater_ = std::make_unique<Inflater>();
    if (inflateInit2(&reader->inflater_->z, windowBits) != Z_OK) return nullptr;
    return reader;
}

BodyReader::State BodyReader::add(std::string_view bytes) {
    sent_ += bytes.size();
    if (state_ != State::reading) return state_;
    if (sent_ > limit_) return state_ = State::tooLarge;
    if (!inflater_) {
        take(bytes.data(), bytes.size());
        return state_;
    }
    return inflate(bytes);
}

BodyReader::State BodyReader::inflate(std::string_view bytes) {
    auto& z = inflater_->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    std::array<char, 16384> out{};
    while (z.avail_in > 0 && !inflater_->ended && state_ == State::reading) {
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        const int rc = ::inflate(&z, Z_NO_FLUSH);
        const auto produced = out.size() - z.avail_out;
        take(out.data(), produced);
        if (rc == Z_STREAM_END) inflater_->ended = true;
        else if (rc != Z_OK && !(rc == Z_BUF_ERROR && produced > 0)) state_ = State::broken;
    }
    return state_;
}

void BodyReader::take(const char* data, std::size_t size) {
    decoded_ += size;
    if (decoded_ > limit_) {
        state_ = State::tooLarge;
        return;
    }
    if (body_.size() < keep_) body_.append(data, std::min(size, keep_ - body_.size()));
}

BodyReader::State BodyReader::finish() {
    if (state_ == State::reading) state_ = inflater_ && !inflater_->ended && sent_ > 0 ? State::broken : State::done;
    return state_;
}

}  // namespace kiv::cloud
