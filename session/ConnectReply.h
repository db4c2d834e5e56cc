#pragma once
// A host's answer to a join request. The joiner's connect completion carries it as its
// reply, so the numbers are part of the wire and never change.

enum ConnectReply : int {
    kReplyAccepted = 0,
    kReplyMalformed = 1,  // the request carried no readable user record
    kReplyNoAnswer = 2,   // the host's user did not answer in time
    kReplyWrongPassword = 3,
    kReplyTooManyAttempts = 4,  // refused unheard for a while after repeated wrong passwords
    kReplyRefusedBase = 1000,   // + the reason the host's user picked
};

// The approval dialog's answers: accepted, or a reply as above.
enum ApprovalAnswer : int {
    kApprovalAccepted = 1,
    kApprovalNoAnswer = kReplyNoAnswer,
    kApprovalRefusedBase = kReplyRefusedBase,
};

// The approval setting: when the host's user is asked.
enum ApprovalSetting : int {
    kAskNever = 0,
    kAskAlways = 1,
    kAskWhenHidden = 2,  // only while the main window is in the tray
};
