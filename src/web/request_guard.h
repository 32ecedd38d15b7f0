#pragma once

#include <QByteArrayView>

namespace orvalin::web {

// How much one request may carry. The head is every byte up to and including
// the end of its empty line (empty lines before the request line count too).
struct request_limits {
    qsizetype max_head = 8192;
    qsizetype max_body = 16384;
};

// Follows what a client sends on one HTTP/1.1 connection, request by request,
// split anywhere and pipelined, without keeping the bytes (its size is fixed,
// whatever is fed), so the server can refuse a request before buffering it.
// It finds where each head ends and its Content-Length, counts that many body
// bytes, and the next request starts.
//
// Verdicts, final once given (the server answers and closes):
// - head_too_large: a head runs past max_head before its empty line;
// - body_too_large: a Content-Length above max_body, as soon as the header
//   line ends, before any body arrives;
// - bad_request: a Content-Length that is not plain digits (a sign, empty, a
//   list), two that differ, any Transfer-Encoding (bodies must have a length),
//   a NUL byte, a CR not followed by LF, whitespace in or after a header name,
//   a header line without a colon, or a folded header line. Rejecting what
//   parsers read differently keeps this guard and the server's parser agreed
//   on where each request ends.
// Header names compare case-insensitively; blanks around values are skipped.
class request_guard {
public:
    enum class verdict { ok, head_too_large, body_too_large, bad_request };

    explicit request_guard(request_limits limits = {});

    // Takes the next bytes from the client; returns state().
    verdict feed(QByteArrayView bytes);
    verdict state() const { return verdict_; }
    // Requests whose head and whole body have arrived.
    qsizetype requests_ended() const { return ended_; }
    // Some bytes of a request that is not whole yet have come.
    bool within_request() const { return now_.head_bytes > 0; }

private:
    enum class at {
        line_start, // of a line in the head
        request_line,
        name, // of a header
        length_lead, // blanks before a Content-Length value
        length_digits,
        length_trail, // blanks after it
        other_value,
        body,
    };

    void step(char byte);
    void end_line();
    void end_length();
    void end_head();
    void end_request();
    void fail(verdict why) { verdict_ = why; }

    // What is known of the request under way; starts afresh with each one.
    struct request {
        at where = at::line_start;
        qsizetype head_bytes = 0;
        bool after_cr = false;
        bool seen_request_line = false;
        // Of the header name read so far: its length, which names it may be.
        qsizetype name_length = 0;
        unsigned name_candidates = 0;
        qsizetype value = 0; // the Content-Length being read, capped past max_body
        bool has_length = false;
        qsizetype length = 0;
        qsizetype body_left = 0;
    };

    request_limits limits_;
    verdict verdict_ = verdict::ok;
    qsizetype ended_ = 0;
    request now_;
};

} // namespace orvalin::web
