// File: plugin/call_result_reply.h
//
// Lets an endpoint handler return a `CallResult<T>` (plugin/call_result.h): a value becomes a
// success, a `CallError` an error answer with its message and its code as the status (500
// when the code is 0, so a failure never reads as success to the host).
//
//   mox::CallResult<Results> Experiment::getResults();   // bound with router().bind(...)
#pragma once

#include <memory>
#include <utility>

#include "plugin/call_result.h"
#include "routing/endpoint.h"

namespace mox {

template <class T>
struct ReplyTraits<CallResult<T>> {
    using Value = T;
    static HandlerReply<T> toReply(CallResult<T>&& result) {
        if (result.ok()) {
            return HandlerReply<T>(result.releaseValue());
        }
        CallError error = result.releaseError();
        return HandlerReply<T>::failure(error.code != 0 ? error.code : 500,
                                        std::move(error.message));
    }
};

// A handler that answers with an immutable T it keeps: the answer is converted from the
// shared object, without a copy (see `HandlerReply::shared`).
template <class T>
struct ReplyTraits<CallResult<std::shared_ptr<const T>>> {
    using Value = T;
    static HandlerReply<T> toReply(CallResult<std::shared_ptr<const T>>&& result) {
        if (result.ok()) {
            return HandlerReply<T>::shared(result.releaseValue());
        }
        CallError error = result.releaseError();
        return HandlerReply<T>::failure(error.code != 0 ? error.code : 500,
                                        std::move(error.message));
    }
};

template <>
struct ReplyTraits<CallResult<void>> {
    using Value = void;
    static HandlerReply<void> toReply(CallResult<void>&& result) {
        if (result.ok()) {
            return HandlerReply<void>();
        }
        CallError error = result.releaseError();
        return HandlerReply<void>::failure(error.code != 0 ? error.code : 500,
                                           std::move(error.message));
    }
};

}  // namespace mox
