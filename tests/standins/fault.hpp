#pragma once

// How a service stand-in answers the requests it receives, besides
// answering them properly.

namespace standin {

enum class fault_t {
    // The answer from the stand-in's table.
    none,
    // No answer at all.
    silent,
    // The connection is closed instead of answering.
    close,
    // A frame that is no message of the protocol.
    garbage,
    // A frame of length 0, which no link accepts.
    empty_frame,
    // A reply whose tag the protocol does not have.
    unexpected_tag,
    // The reply without its serial.
    no_serial,
    // Tagger: the reply without its url_result. SeekD: the reply of the
    // other kind (a check's reply to a lookup and the reverse).
    incomplete,
    // The reply, but for a serial that was never asked.
    stray_serial,
    // The reply is kept back until the stand-in is told to release it.
    hold,
};

} // namespace standin
