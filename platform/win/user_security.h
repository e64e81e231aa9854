#pragma once
// The current Windows user's identity and access lists built from descriptor text, shared by the
// shell parts that make files and folders private to that user.
#include <string>

#include "platform/win/handles.h"

namespace nyra::win {

enum class UserSidFailure {
    None,
    Token,            // the process token could not be opened
    UserInformation,  // the token did not yield its user
    TextForm,         // the SID has no string form
};

struct UserSidText {
    std::wstring text;  // "S-1-5-21-..." when failure is None
    UserSidFailure failure = UserSidFailure::None;
};

// The current user's SID in string form, read from the process token.
UserSidText currentUserSidText();

// A security descriptor (LocalAlloc'd) from its text form; invalid when the text is refused.
UniqueLocalMemory securityDescriptorFromText(const std::wstring& text);

}  // namespace nyra::win
