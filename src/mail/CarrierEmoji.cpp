#include "mail/CarrierEmoji.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace lw::mail {

namespace {

// From the carriers' published emoji tables: docomo's basic and extended sets, SoftBank's six
// groups, and the most used part of KDDI's set (weather, moon, zodiac, plants, fruit, faces,
// hearts). The carriers' service marks that have no standard emoji are left out, or named.

// U+E63E to U+E757, one entry per code point; nullptr: no standard emoji.
constexpr const char* kDocomo[] = {
    "\u2600\uFE0F", "\u2601\uFE0F", "\u2614\uFE0F", "\u26C4\uFE0F", "\u26A1\uFE0F", "\U0001F300",
    "\U0001F301", "\U0001F302", "\u2648\uFE0F", "\u2649\uFE0F", "\u264A\uFE0F", "\u264B\uFE0F",
    "\u264C\uFE0F", "\u264D\uFE0F", "\u264E\uFE0F", "\u264F\uFE0F", "\u2650\uFE0F", "\u2651\uFE0F",
    "\u2652\uFE0F", "\u2653\uFE0F", "\U0001F3BD", "\u26BE\uFE0F", "\u26F3\uFE0F", "\U0001F3BE",
    "\u26BD\uFE0F", "\U0001F3BF", "\U0001F3C0", "\U0001F3C1", "\U0001F4DF", "\U0001F683", "\u24C2\uFE0F",
    "\U0001F684", "\U0001F697", "\U0001F699", "\U0001F68C", "\U0001F6A2", "\u2708\uFE0F", "\U0001F3E0",
    "\U0001F3E2", "\U0001F3E3", "\U0001F3E5", "\U0001F3E6", "\U0001F3E7", "\U0001F3E8", "\U0001F3EA",
    "\u26FD\uFE0F", "\U0001F17F", "\U0001F6A5", "\U0001F6BB", "\U0001F374", "\u2615\uFE0F", "\U0001F378",
    "\U0001F37A", "\U0001F354", "\U0001F460", "\u2702\uFE0F", "\U0001F3A4", "\U0001F3A5", "\u2197\uFE0F",
    "\U0001F3A0", "\U0001F3A7", "\U0001F3A8", "\U0001F3A9", "\U0001F3AA", "\U0001F3AB", "\U0001F6AC",
    "\U0001F6AD", "\U0001F4F7", "\U0001F45C", "\U0001F4D6", "\U0001F380", "\U0001F381", "\U0001F382",
    "\u260E\uFE0F", "\U0001F4F1", "\U0001F4DD", "\U0001F4FA", "\U0001F3AE", "\U0001F4BF", "\u2665\uFE0F",
    "\u2660\uFE0F", "\u2666\uFE0F", "\u2663\uFE0F", "\U0001F440", "\U0001F442", "\u270A\uFE0F",
    "\u270C\uFE0F", "\u270B\uFE0F", "\u2198\uFE0F", "\u2196\uFE0F", "\U0001F463", "\U0001F45F", "\U0001F453",
    "\u267F\uFE0F", "\U0001F311", "\U0001F314", "\U0001F313", "\U0001F319", "\U0001F315", "\U0001F436",
    "\U0001F431", "\u26F5\uFE0F", "\U0001F384", "\u2199\uFE0F", nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, "\U0001F4F2", "\U0001F4E9", "\U0001F4E0", "[iモード]", "[iモード]", "\u2709\uFE0F", "[ドコモ提供]",
    "[ドコモポイント]", "\U0001F4B4", "\U0001F193", "\U0001F194", "\U0001F511", "\u21A9\uFE0F", "\U0001F191",
    "\U0001F50D", "\U0001F195", "\U0001F6A9", "[フリーダイヤル]", "#\uFE0F\u20E3", "[モバQ]", "1\uFE0F\u20E3",
    "2\uFE0F\u20E3", "3\uFE0F\u20E3", "4\uFE0F\u20E3", "5\uFE0F\u20E3", "6\uFE0F\u20E3", "7\uFE0F\u20E3",
    "8\uFE0F\u20E3", "9\uFE0F\u20E3", "0\uFE0F\u20E3", "\u2764\uFE0F", "\U0001F493", "\U0001F494",
    "\U0001F495", "\U0001F603", "\U0001F620", "\U0001F61E", "\U0001F616", "\U0001F635", "\u2934\uFE0F",
    "\U0001F3B5", "\u2668\uFE0F", "\U0001F4A0", "\U0001F48B", "\u2728\uFE0F", "\U0001F4A1", "\U0001F4A2",
    "\U0001F44A", "\U0001F4A3", "\U0001F3B6", "\u2935\uFE0F", "\U0001F4A4", "\u2757\uFE0F", "\u2049\uFE0F",
    "\u203C\uFE0F", "\U0001F4A5", "\U0001F4A6", "\U0001F613", "\U0001F4A8", "\u3030\uFE0F", "\u27B0\uFE0F",
    "\U0001F197", "[iアプリ]", "[iアプリ]", "\U0001F455", "\U0001F45B", "\U0001F484", "\U0001F456", "\U0001F3C2",
    "\U0001F514", "\U0001F6AA", "\U0001F4B0", "\U0001F4BB", "\U0001F48C", "\U0001F527", "\u270F\uFE0F",
    "\U0001F451", "\U0001F48D", "\u23F3\uFE0F", "\U0001F6B2", "\U0001F375", "\u231A\uFE0F", "\U0001F614",
    "\U0001F60C", "\U0001F605", "\U0001F613", "\U0001F621", "\U0001F612", "\U0001F60D", "\U0001F44D",
    "\U0001F61C", "\U0001F609", "\U0001F606", "\U0001F623", "\U0001F60F", "\U0001F62D", "\U0001F622",
    "\U0001F196", "\U0001F4CE", "\u00A9\uFE0F", "\u2122\uFE0F", "\U0001F3C3", "\u3299\uFE0F", "\u267B\uFE0F",
    "\u00AE\uFE0F", "\u26A0\uFE0F", "\U0001F232", "\U0001F233", "\U0001F234", "\U0001F235", "\u2194\uFE0F",
    "\u2195\uFE0F", "\U0001F3EB", "\U0001F30A", "\U0001F5FB", "\U0001F340", "\U0001F352", "\U0001F337",
    "\U0001F34C", "\U0001F34E", "\U0001F331", "\U0001F341", "\U0001F338", "\U0001F359", "\U0001F370",
    "\U0001F376", "\U0001F35C", "\U0001F35E", "\U0001F40C", "\U0001F424", "\U0001F427", "\U0001F41F",
    "\U0001F60B", "\U0001F601", "\U0001F434", "\U0001F437", "\U0001F377", "\U0001F631",
};

// U+E001 to U+E05A, one entry per code point; nullptr: no standard emoji.
constexpr const char* kSoftBankG[] = {
    "\U0001F466", "\U0001F467", "\U0001F48B", "\U0001F468", "\U0001F469", "\U0001F455", "\U0001F45E",
    "\U0001F4F7", "\u260E\uFE0F", "\U0001F4F1", "\U0001F4E0", "\U0001F4BB", "\U0001F44A", "\U0001F44D",
    "\u261D\uFE0F", "\u270A\uFE0F", "\u270C\uFE0F", "\u270B\uFE0F", "\U0001F3BF", "\u26F3\uFE0F",
    "\U0001F3BE", "\u26BE\uFE0F", "\U0001F3C4", "\u26BD\uFE0F", "\U0001F41F", "\U0001F434", "\U0001F697",
    "\u26F5\uFE0F", "\u2708\uFE0F", "\U0001F683", "\U0001F685", "\u2753\uFE0F", "\u2757\uFE0F",
    "\u2764\uFE0F", "\U0001F494", "\U0001F550", "\U0001F551", "\U0001F552", "\U0001F553", "\U0001F554",
    "\U0001F555", "\U0001F556", "\U0001F557", "\U0001F558", "\U0001F559", "\U0001F55A", "\U0001F55B",
    "\U0001F338", "\U0001F531", "\U0001F339", "\U0001F384", "\U0001F48D", "\U0001F48E", "\U0001F3E0",
    "\u26EA\uFE0F", "\U0001F3E2", "\U0001F689", "\u26FD\uFE0F", "\U0001F5FB", "\U0001F3A4", "\U0001F3A5",
    "\U0001F3B5", "\U0001F511", "\U0001F3B7", "\U0001F3B8", "\U0001F3BA", "\U0001F374", "\U0001F378",
    "\u2615\uFE0F", "\U0001F370", "\U0001F37A", "\u26C4\uFE0F", "\u2601\uFE0F", "\u2600\uFE0F",
    "\u2614\uFE0F", "\U0001F319", "\U0001F304", "\U0001F47C", "\U0001F431", "\U0001F42F", "\U0001F43B",
    "\U0001F436", "\U0001F42D", "\U0001F433", "\U0001F427", "\U0001F60A", "\U0001F603", "\U0001F61E",
    "\U0001F620", "\U0001F4A9",
};

// U+E101 to U+E15A, one entry per code point; nullptr: no standard emoji.
constexpr const char* kSoftBankE[] = {
    "\U0001F4EA", "\U0001F4EE", "\U0001F4E9", "\U0001F4F2", "\U0001F61C", "\U0001F60D", "\U0001F631",
    "\U0001F613", "\U0001F435", "\U0001F419", "\U0001F437", "\U0001F47D", "\U0001F680", "\U0001F451",
    "\U0001F4A1", "\U0001F340", "\U0001F48F", "\U0001F381", "\U0001F52B", "\U0001F50D", "\U0001F3C3",
    "\U0001F528", "\U0001F386", "\U0001F341", "\U0001F342", "\U0001F47F", "\U0001F47B", "\U0001F480",
    "\U0001F525", "\U0001F4BC", "\U0001F4BA", "\U0001F354", "\u26F2\uFE0F", "\u26FA\uFE0F", "\u2668\uFE0F",
    "\U0001F3A1", "\U0001F3AB", "\U0001F4BF", "\U0001F4C0", "\U0001F4FB", "\U0001F4FC", "\U0001F4FA",
    "\U0001F47E", "\u303D\uFE0F", "\U0001F004", "\U0001F19A", "\U0001F4B0", "\U0001F3AF", "\U0001F3C6",
    "\U0001F3C1", "\U0001F3B0", "\U0001F40E", "\U0001F6A4", "\U0001F6B2", "\U0001F6A7", "\U0001F6B9",
    "\U0001F6BA", "\U0001F6BC", "\U0001F489", "\U0001F4A4", "\u26A1\uFE0F", "\U0001F460", "\U0001F6C0",
    "\U0001F6BD", "\U0001F50A", "\U0001F4E2", "\U0001F38C", "\U0001F512", "\U0001F513", "\U0001F306",
    "\U0001F373", "\U0001F4D6", "\U0001F4B1", "\U0001F4B9", "\U0001F4E1", "\U0001F4AA", "\U0001F3E6",
    "\U0001F6A5", "\U0001F17F", "\U0001F68F", "\U0001F6BB", "\U0001F46E", "\U0001F3E3", "\U0001F3E7",
    "\U0001F3E5", "\U0001F3EA", "\U0001F3EB", "\U0001F3E8", "\U0001F68C", "\U0001F695",
};

// U+E201 to U+E253, one entry per code point; nullptr: no standard emoji.
constexpr const char* kSoftBankF[] = {
    "\U0001F6B6", "\U0001F6A2", "\U0001F201", "\U0001F49F", "\u2734\uFE0F", "\u2733\uFE0F", "\U0001F51E",
    "\U0001F6AD", "\U0001F530", "\u267F\uFE0F", "\U0001F4F6", "\u2665\uFE0F", "\u2666\uFE0F", "\u2660\uFE0F",
    "\u2663\uFE0F", "#\uFE0F\u20E3", "\u27BF\uFE0F", "\U0001F195", "\U0001F199", "\U0001F192", "\U0001F236",
    "\U0001F21A", "\U0001F237", "\U0001F238", "\U0001F534", "\U0001F532", "\U0001F533", "1\uFE0F\u20E3",
    "2\uFE0F\u20E3", "3\uFE0F\u20E3", "4\uFE0F\u20E3", "5\uFE0F\u20E3", "6\uFE0F\u20E3", "7\uFE0F\u20E3",
    "8\uFE0F\u20E3", "9\uFE0F\u20E3", "0\uFE0F\u20E3", "\U0001F250", "\U0001F239", "\U0001F202", "\U0001F194",
    "\U0001F235", "\U0001F233", "\U0001F22F", "\U0001F23A", "\U0001F446", "\U0001F447", "\U0001F448",
    "\U0001F449", "\u2B06\uFE0F", "\u2B07\uFE0F", "\u27A1\uFE0F", "\u2B05\uFE0F", "\u2197\uFE0F",
    "\u2196\uFE0F", "\u2198\uFE0F", "\u2199\uFE0F", "\u25B6\uFE0F", "\u25C0\uFE0F", "\u23E9\uFE0F",
    "\u23EA\uFE0F", "\U0001F52F", "\u2648\uFE0F", "\u2649\uFE0F", "\u264A\uFE0F", "\u264B\uFE0F",
    "\u264C\uFE0F", "\u264D\uFE0F", "\u264E\uFE0F", "\u264F\uFE0F", "\u2650\uFE0F", "\u2651\uFE0F",
    "\u2652\uFE0F", "\u2653\uFE0F", "\u26CE\uFE0F", "\U0001F51D", "\U0001F197", "\u00A9\uFE0F",
    "\u00AE\uFE0F", "\U0001F4F3", "\U0001F4F4", "\u26A0\uFE0F", "\U0001F481",
};

// U+E301 to U+E34D, one entry per code point; nullptr: no standard emoji.
constexpr const char* kSoftBankO[] = {
    "\U0001F4C3", "\U0001F454", "\U0001F33A", "\U0001F337", "\U0001F33B", "\U0001F490", "\U0001F334",
    "\U0001F335", "\U0001F6BE", "\U0001F3A7", "\U0001F376", "\U0001F37B", "\u3297\uFE0F", "\U0001F6AC",
    "\U0001F48A", "\U0001F388", "\U0001F4A3", "\U0001F389", "\u2702\uFE0F", "\U0001F380", "\u3299\uFE0F",
    "\U0001F4BD", "\U0001F4E3", "\U0001F452", "\U0001F457", "\U0001F461", "\U0001F462", "\U0001F484",
    "\U0001F485", "\U0001F486", "\U0001F487", "\U0001F488", "\U0001F458", "\U0001F459", "\U0001F45C",
    "\U0001F3AC", "\U0001F514", "\U0001F3B6", "\U0001F493", "\U0001F497", "\U0001F498", "\U0001F499",
    "\U0001F49A", "\U0001F49B", "\U0001F49C", "\u2728\uFE0F", "\u2B50\uFE0F", "\U0001F4A8", "\U0001F4A6",
    "\u2B55\uFE0F", "\u274C\uFE0F", "\U0001F4A2", "\U0001F31F", "\u2754\uFE0F", "\u2755\uFE0F", "\U0001F375",
    "\U0001F35E", "\U0001F366", "\U0001F35F", "\U0001F361", "\U0001F358", "\U0001F35A", "\U0001F35D",
    "\U0001F35C", "\U0001F35B", "\U0001F359", "\U0001F362", "\U0001F363", "\U0001F34E", "\U0001F34A",
    "\U0001F353", "\U0001F349", "\U0001F345", "\U0001F346", "\U0001F382", "\U0001F371", "\U0001F372",
};

// U+E401 to U+E44C, one entry per code point; nullptr: no standard emoji.
constexpr const char* kSoftBankP[] = {
    "\U0001F625", "\U0001F60F", "\U0001F614", "\U0001F601", "\U0001F609", "\U0001F623", "\U0001F616",
    "\U0001F62A", "\U0001F61D", "\U0001F60C", "\U0001F628", "\U0001F637", "\U0001F633", "\U0001F612",
    "\U0001F630", "\U0001F632", "\U0001F62D", "\U0001F602", "\U0001F622", "\u263A\uFE0F", "\U0001F604",
    "\U0001F621", "\U0001F61A", "\U0001F618", "\U0001F440", "\U0001F443", "\U0001F442", "\U0001F444",
    "\U0001F64F", "\U0001F44B", "\U0001F44F", "\U0001F44C", "\U0001F44E", "\U0001F450", "\U0001F645",
    "\U0001F646", "\U0001F491", "\U0001F647", "\U0001F64C", "\U0001F46B", "\U0001F46F", "\U0001F3C0",
    "\U0001F3C8", "\U0001F3B1", "\U0001F3CA", "\U0001F699", "\U0001F69A", "\U0001F692", "\U0001F691",
    "\U0001F693", "\U0001F3A2", "\U0001F687", "\U0001F684", "\U0001F38D", "\U0001F49D", "\U0001F38E",
    "\U0001F393", "\U0001F392", "\U0001F38F", "\U0001F302", "\U0001F470", "\U0001F30A", "\U0001F367",
    "\U0001F387", "\U0001F41A", "\U0001F390", "\U0001F300", "\U0001F33E", "\U0001F383", "\U0001F391",
    "\U0001F343", "\U0001F385", "\U0001F305", "\U0001F307", "\U0001F303", "\U0001F308",
};

// U+E501 to U+E537, one entry per code point; nullptr: no standard emoji.
constexpr const char* kSoftBankQ[] = {
    "\U0001F3E9", "\U0001F3A8", "\U0001F3A9", "\U0001F3EC", "\U0001F3EF", "\U0001F3F0", "\U0001F3A6",
    "\U0001F3ED", "\U0001F5FC", nullptr, "\U0001F1EF\U0001F1F5", "\U0001F1FA\U0001F1F8",
    "\U0001F1EB\U0001F1F7", "\U0001F1E9\U0001F1EA", "\U0001F1EE\U0001F1F9", "\U0001F1EC\U0001F1E7",
    "\U0001F1EA\U0001F1F8", "\U0001F1F7\U0001F1FA", "\U0001F1E8\U0001F1F3", "\U0001F1F0\U0001F1F7",
    "\U0001F471", "\U0001F472", "\U0001F473", "\U0001F474", "\U0001F475", "\U0001F476", "\U0001F477",
    "\U0001F478", "\U0001F5FD", "\U0001F482", "\U0001F483", "\U0001F42C", "\U0001F426", "\U0001F420",
    "\U0001F424", "\U0001F439", "\U0001F41B", "\U0001F418", "\U0001F428", "\U0001F412", "\U0001F411",
    "\U0001F43A", "\U0001F42E", "\U0001F430", "\U0001F40D", "\U0001F414", "\U0001F417", "\U0001F42B",
    "\U0001F438", "\U0001F170", "\U0001F171", "\U0001F18E", "\U0001F17E", "\U0001F463", "\u2122\uFE0F",
};

// KDDI's own code points, in order.
constexpr std::pair<char32_t, const char*> kAu[] = {
    {0xE468, "\U0001F320"}, {0xE469, "\U0001F300"}, {0xE471, "\U0001F603"}, {0xE472, "\U0001F620"},
    {0xE473, "\U0001F62D"}, {0xE474, "\U0001F62B"}, {0xE477, "\U0001F494"}, {0xE478, "\U0001F495"},
    {0xE47C, "\u23F3\uFE0F"}, {0xE485, "\u26C4\uFE0F"}, {0xE486, "\U0001F319"}, {0xE487, "\u26A1\uFE0F"},
    {0xE488, "\u2600\uFE0F"}, {0xE489, "\U0001F31B"}, {0xE48A, "\u2744\uFE0F"}, {0xE48B, "\u2B50\uFE0F"},
    {0xE48C, "\u2614\uFE0F"}, {0xE48D, "\u2601\uFE0F"}, {0xE48E, "\u26C5\uFE0F"}, {0xE48F, "\u2648\uFE0F"},
    {0xE490, "\u2649\uFE0F"}, {0xE491, "\u264A\uFE0F"}, {0xE492, "\u264B\uFE0F"}, {0xE493, "\u264C\uFE0F"},
    {0xE494, "\u264D\uFE0F"}, {0xE495, "\u264E\uFE0F"}, {0xE496, "\u264F\uFE0F"}, {0xE497, "\u2650\uFE0F"},
    {0xE498, "\u2651\uFE0F"}, {0xE499, "\u2652\uFE0F"}, {0xE49A, "\u2653\uFE0F"}, {0xE49B, "\u26CE\uFE0F"},
    {0xE4CA, "\U0001F338"}, {0xE4CD, "\U0001F349"}, {0xE4CE, "\U0001F341"}, {0xE4D2, "\U0001F352"},
    {0xE4D4, "\U0001F353"}, {0xE4E2, "\U0001F334"}, {0xE4E3, "\U0001F33B"}, {0xE4E4, "\U0001F337"},
    {0xE4E7, "\U0001F61C"}, {0xE4FB, "\u263A\uFE0F"}, {0xE513, "\U0001F340"}, {0xE57A, "\u231A\uFE0F"},
    {0xE57B, "\u231B\uFE0F"}, {0xE594, "\u23F0\uFE0F"}, {0xE595, "\u2764\uFE0F"}, {0xE598, "\U0001F301"},
    {0xE5A8, "\U0001F311"}, {0xE5A9, "\U0001F314"}, {0xE5AA, "\U0001F313"}, {0xE5AE, "\U0001F635"},
    {0xE5B3, "\U0001F30F"}, {0xE5BA, "\U0001F339"}, {0xE5C3, "\U0001F609"}, {0xE5C4, "\U0001F60D"},
    {0xE5C5, "\U0001F631"}, {0xE5C6, "\U0001F613"}, {0xE5CD, "\U0001F342"}, {0xE5DA, "\U0001F306"},
    {0xEA94, "\U0001F33A"}, {0xEA96, "\U0001F335"}, {0xEAB9, "\U0001F34E"}, {0xEABA, "\U0001F34A"},
    {0xEABB, "\U0001F345"}, {0xEABC, "\U0001F346"}, {0xEABF, "\U0001F60F"}, {0xEAC0, "\U0001F614"},
    {0xEAC1, "\U0001F624"}, {0xEAC2, "\U0001F623"}, {0xEAC3, "\U0001F616"}, {0xEAC4, "\U0001F62A"},
    {0xEAC5, "\U0001F606"}, {0xEAC6, "\U0001F628"}, {0xEAC7, "\U0001F637"}, {0xEAC8, "\U0001F633"},
    {0xEAC9, "\U0001F612"}, {0xEACA, "\U0001F632"}, {0xEACB, "\U0001F630"}, {0xEACD, "\U0001F60A"},
    {0xEACE, "\U0001F61A"}, {0xEACF, "\U0001F618"}, {0xEAE8, "\U0001F302"}, {0xEAF1, "\U0001F303"},
    {0xEAF2, "\U0001F308"}, {0xEAF4, "\U0001F305"}, {0xEB32, "\U0001F348"}, {0xEB33, "\U0001F34D"},
    {0xEB34, "\U0001F347"}, {0xEB35, "\U0001F34C"}, {0xEB36, "\U0001F33D"}, {0xEB37, "\U0001F344"},
    {0xEB38, "\U0001F330"}, {0xEB39, "\U0001F351"}, {0xEB49, "\U0001F33C"}, {0xEB53, "\U0001F30B"},
    {0xEB5A, "\U0001F34F"}, {0xEB5D, "\U0001F621"}, {0xEB5F, "\U0001F30C"}, {0xEB64, "\U0001F602"},
    {0xEB67, "\U0001F629"}, {0xEB7C, "\U0001F30A"}, {0xEB7D, "\U0001F331"}, {0xEB80, "\U0001F601"},
    {0xEB82, "\U0001F33F"},
};

// The carrier that a code point belongs to when the sender does not say: code points that only
// one carrier uses. docomo's range lies apart from the others; KDDI's CP932 range (U+E468 to
// U+E5DF) overlaps SoftBank's last group, and KDDI's rows F3 and F4 (U+E234 to U+E342 through
// CP932) overlap SoftBank's groups F and O, so those are read as KDDI's or SoftBank's only
// when the sender's carrier is known.
constexpr char32_t kPrivateFirst = 0xE000;
constexpr char32_t kPrivateLast = 0xEBFF;

struct Group {
    char32_t first;
    const char* const* entries;
    std::size_t count;
};

template <std::size_t N>
constexpr Group GroupOf(char32_t first, const char* const (&entries)[N])
{
    return {first, entries, N};
}

constexpr Group kSoftBank[] = {GroupOf(0xE001, kSoftBankG), GroupOf(0xE101, kSoftBankE), GroupOf(0xE201, kSoftBankF),
                               GroupOf(0xE301, kSoftBankO), GroupOf(0xE401, kSoftBankP), GroupOf(0xE501, kSoftBankQ)};
constexpr Group kDocomoGroup = GroupOf(0xE63E, kDocomo);

// The entry of c in group, nullptr when c is not in it or has no standard emoji; inGroup says
// whether c lies in the group at all.
const char* Look(const Group& group, char32_t c, bool& inGroup)
{
    if (c < group.first || c >= group.first + group.count) return nullptr;
    inGroup = true;
    return group.entries[c - group.first];
}

const char* LookSoftBank(char32_t c, bool& inGroup)
{
    for (const Group& group : kSoftBank)
        if (const char* e = Look(group, c, inGroup); e != nullptr || inGroup) return e;
    return nullptr;
}

const char* LookAu(char32_t c, bool& inGroup)
{
    // KDDI's rows F3 and F4 come through CP932 below its own code points for them.
    if (c >= 0xE234 && c <= 0xE342) c = c - 0xE234 + 0xEA80;
    if ((c >= 0xE468 && c <= 0xE5DF) || (c >= 0xEA80 && c <= 0xEB8E)) inGroup = true;
    const auto* end = std::end(kAu);
    const auto* it = std::lower_bound(std::begin(kAu), end, c,
                                      [](const std::pair<char32_t, const char*>& e, char32_t v) { return e.first < v; });
    return it != end && it->first == c ? it->second : nullptr;
}

// SoftBank's mail in Shift_JIS: rows F7 and F9 come through CP932 at U+E524 and U+E69C; the
// carrier's own code points are the same positions in its groups G, E, F and O.
char32_t SoftBankFromCp932(char32_t c)
{
    const auto fromRow = [](char32_t c, char32_t rowStart, char32_t firstGroup, char32_t secondGroup) -> char32_t {
        const char32_t index = c - rowStart;                       // 0 for trail byte 0x40
        const char32_t trail = index < 0x3F ? 0x40 + index : 0x41 + index;
        if (trail >= 0x41 && trail <= 0x9B) return firstGroup + (index - 1);
        if (trail >= 0xA1 && trail <= 0xFC) return secondGroup + (index - 96);
        return 0;
    };
    if (c >= 0xE524 && c <= 0xE5DF) return fromRow(c, 0xE524, 0xE001, 0xE101);
    if (c >= 0xE69C && c <= 0xE757) return fromRow(c, 0xE69C, 0xE201, 0xE301);
    return 0;
}

} // namespace

Carrier CarrierOf(const QString& senderAddress)
{
    const QString domain = senderAddress.mid(senderAddress.lastIndexOf(u'@') + 1).trimmed().toLower();
    const auto is = [&domain](const char* name) {
        const QString n = QString::fromLatin1(name);
        return domain == n || domain.endsWith(u'.' + n);
    };
    if (is("docomo.ne.jp")) return Carrier::Docomo;
    if (is("ezweb.ne.jp") || is("au.com")) return Carrier::Au;
    if (is("softbank.ne.jp") || is("softbank.jp") || is("vodafone.ne.jp") || is("disney.ne.jp")) return Carrier::SoftBank;
    return Carrier::Unknown;
}

QString CarrierEmojiForDisplay(const QString& text, const QString& senderAddress)
{
    const auto isPrivate = [](QChar ch) { return ch.unicode() >= kPrivateFirst && ch.unicode() <= kPrivateLast; };
    if (std::none_of(text.begin(), text.end(), isPrivate)) return text;

    const Carrier carrier = CarrierOf(senderAddress);
    QString shown;
    shown.reserve(text.size() + 16);
    for (const QChar ch : text) {
        if (!isPrivate(ch)) {
            shown += ch;
            continue;
        }
        const char32_t c = ch.unicode();
        bool inGroup = false;
        const char* emoji = nullptr;
        switch (carrier) {
        case Carrier::Docomo: emoji = Look(kDocomoGroup, c, inGroup); break;
        case Carrier::Au: emoji = LookAu(c, inGroup); break;
        case Carrier::SoftBank:
            emoji = LookSoftBank(c, inGroup);
            if (!inGroup) {
                if (const char32_t own = SoftBankFromCp932(c); own != 0) emoji = LookSoftBank(own, inGroup);
            }
            break;
        case Carrier::Unknown: {
            bool unused = false;
            if (c >= 0xE63E && c <= 0xE757)
                emoji = Look(kDocomoGroup, c, unused);
            else if (c >= 0xE468)
                emoji = LookAu(c, unused);
            else
                emoji = LookSoftBank(c, unused);
            break;
        }
        }
        if (emoji != nullptr)
            shown += QString::fromUtf8(emoji);
        else if (inGroup)
            shown += QChar(0x3013); // 〓, as Japanese mail shows a character it cannot
        else
            shown += ch;
    }
    return shown;
}

} // namespace lw::mail
