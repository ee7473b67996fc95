#pragma once

// What the recorder is doing, with the words the remote interfaces use for it ("idle",
// "recording", "finishing"). Header only, so that the window and the assistant's program
// compare states by name rather than by text.

#include <optional>
#include <string_view>

namespace zarvo {

enum class RecorderState { idle, recording, finishing };

constexpr const char* recorderStateName(RecorderState state) {
    switch (state) {
        case RecorderState::recording:
            return "recording";
        case RecorderState::finishing:
            return "finishing";
        case RecorderState::idle:
            break;
    }
    return "idle";
}

// The state a remote text names; none for any other text.
constexpr std::optional<RecorderState> recorderStateNamed(std::string_view text) {
    for (RecorderState state :
         {RecorderState::idle, RecorderState::recording, RecorderState::finishing}) {
        if (text == recorderStateName(state)) {
            return state;
        }
    }
    return std::nullopt;
}

}  // namespace zarvo
