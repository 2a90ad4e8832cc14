// SPDX-License-Identifier: GPL-2.0-or-later
// Streams paired into calls: the stream (A:a → B:b, session S) and its
// reverse (B:b → A:a, session S) are one call, A being the side whose packet
// came first; a stream whose reverse never turns up stays a call with one
// direction. Shared by the calls table and the export of calls, so that
// both pair alike. Runs from the tap, after dissection.
#pragma once

#include "stream_key.h"

namespace kestrune {

template <class Call>
class CallPairing {
public:
    struct Side {
        Call* call = nullptr;
        unsigned direction = 0;  // 0: A → B, 1: B → A
    };

    // The stream's side of its call. A stream seen for the first time joins
    // its reverse's call, or else starts one of its own, which new_call(key)
    // makes (the stream's source being A) and keeps at a stable address.
    template <class NewCall>
    const Side& side(const StreamKey& key, NewCall&& new_call) {
        if (const Side* known = streams_.find(key)) {
            return *known;
        }
        const Side* reverse = streams_.find(reverse_of(key));
        const Side joined =
            reverse != nullptr ? Side{reverse->call, 1 - reverse->direction} : Side{};
        Side& s = streams_.add(key);
        s = reverse != nullptr ? joined : Side{&new_call(key), 0};
        return s;
    }

    void clear() { streams_.clear(); }

private:
    StreamMap<Side> streams_;
};

}  // namespace kestrune
