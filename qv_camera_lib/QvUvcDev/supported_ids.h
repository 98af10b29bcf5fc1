// The supported-id list of the configuration ("vvvv:pppp,..."), read by one parser into the entries
// that the device records, the lsusb count and the device enumeration all use.
#pragma once

#include <string>
#include <vector>

struct SupportedId {
    std::string text;     // the entry with the blanks around it removed
    std::string vendor;   // the text before the first ':' (the whole entry when it has none)
    std::string product;  // the text after it (the whole entry when it has none)
    bool record = false;  // both parts are 1 to 4 hexadecimal digits: the entry makes a device record
    int vid = 0;          // the parts read as hexadecimal numbers (entries that make a record)
    int pid = 0;
    bool pair = false;   // exactly "vvvv:pppp" in lower case, the form in which lsusb and udev show ids
    bool upper = false;  // a record with upper-case letters: no device can match it
};

// The list split at every ',' (empty pieces kept), each piece trimmed of blanks; no entry at all for
// a text that is empty once trimmed, which stands for "no list".
std::vector<SupportedId> parse_supported_ids(const std::string& text);

// The entries' texts joined by ',': the list as the device layer is given it.
std::string join_supported_ids(const std::vector<SupportedId>& ids);

// A device is listed when its key "%04x:%04x" occurs in the list's text. A key holds no ',' or blank,
// so that is an occurrence inside one entry's text.
bool lists_device(const std::vector<SupportedId>& ids, int vid, int pid);
