// The string ids of the client's language catalogues, and the ids under which the catalogues hold
// the captions of the dialogs' own fields (template id * 10000 + control id; control 0 is the
// window title).
//
// Every id the client or its engine asks the catalogue for is listed in kUsedTextIds, so a test
// can see that both catalogues carry a text for each.
#pragma once
#include <array>

namespace vorn {

// Texts of the string table the dialogs of this folder show.
constexpr int kTextBadGatewayAddress = 104;
constexpr int kTextProxyAddressEmpty = 105;
constexpr int kTextProxyAddressChars = 106;
constexpr int kTextProxyUserEmpty = 107;
constexpr int kTextProxyPasswordEmpty = 108;
constexpr int kTextPreferencesTitle = 130;
constexpr int kTextChangePasswordTitle = 131;
constexpr int kTextStatusTitle = 135;
constexpr int kTextPasswordEmpty = 143;
constexpr int kTextPasswordLength = 144;
constexpr int kTextPasswordMismatch = 145;
constexpr int kTextPasswordBlankEnds = 146;
constexpr int kTextPasswordChanged = 148;
constexpr int kTextPasswordChangeFailed = 150;
constexpr int kTextQuitInsteadOfPassword = 159;
constexpr int kTextSettingsKeyFailed = 185;
constexpr int kTextBadPort = 226;
constexpr int kTextGatewayAddressChars = 227;

// Caption ids of the dialogs' fields.
constexpr int DialogTextId(int templateId, int controlId) { return templateId * 10000 + controlId; }
constexpr int kDialogAbout = 100;
constexpr int kDialogChangePassword = 298;
constexpr int kDialogLogonPage = 302;
constexpr int kDialogPreferences = 304;
constexpr int kDialogStatus = 305;
constexpr int kDialogPasswordAgain = 306;
constexpr int kDialogProxyPage = 3601;

// Every string-table id of the client's dialogs, its tray, its start-up, its update check and its
// connection engine.
constexpr std::array kUsedTextIds = {
    // start-up, main dialog, tray, logon command
    102, 103, 104, 105, 106, 107, 108, 110, 111, 112, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125,
    126, 128, 129, 130, 131, 132, 133, 134, 135, 155, 156, 157, 226, 227, 228, 229, 232, 233, 247, 248, 249,
    271, 272, 309, 318,
    // password dialogs, preferences
    143, 144, 145, 146, 148, 150, 159, 185,
    // update check
    230, 231, 234, 235, 236, 237, 238, 239, 240, 241, 242, 243, 246,
    // connection engine
    127, 151, 152, 153, 154, 161, 162, 163, 164, 165, 166, 167, 168, 169, 170, 171, 172, 173, 174, 175, 176,
    177, 178, 179, 180, 181, 182, 183, 184, 186, 187, 188, 189, 190, 191, 192, 193, 194, 195, 196, 197, 198,
    199, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215, 216, 217, 218, 219,
    220, 221, 222, 223, 250, 251, 267, 268, 270, 310, 314, 315, 316, 317};

}  // namespace vorn
