// Pure logic of the upgrade pages: finding the file in a multipart body (the
// CRC-32 of the image check is tested on images made by mkimage).
#include "pages_upgrade.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

const std::string kDelimiter = "------WebKitFormBoundaryq9Zx2LbV0aTn7sQe";

// A one-part upload as a browser sends it, with its pieces replaceable.
const std::string kFileField = "Content-Disposition: form-data; name=\"file\"; filename=\"fw.img\"";

// A one-part upload as a browser sends it, with its pieces replaceable.
std::string form(const std::string &data, const std::string &disposition = kFileField,
                 const std::string &headers = "\r\nContent-Type: application/octet-stream",
                 const std::string &tail = "\r\n" + kDelimiter + "--\r\n") {
    return kDelimiter + "\r\n" + disposition + headers + "\r\n\r\n" + data + tail;
}

TEST(UploadExtract, FindsTheFileOfTheFirstPart) {
    const std::string binary("\x27\x05\x19\x56\0\r\n\0--\r\n-", 12); // NULs and line ends
    struct Case {
        const char *what;
        std::string body;
        std::optional<std::string> data; // nullopt: refused
    };
    const Case cases[] = {
        {"browser form", form("firmware"), "firmware"},
        {"binary data", form(binary), binary},
        {"letter case of the keywords",
         form("x", "content-disposition: FORM-DATA; name=\"f\"; FileName=\"a\""), "x"},
        {"no further header line", form("z", kFileField, ""), "z"},
        {"anything after the closing delimiter",
         form("d", kFileField, "", "\r\n" + kDelimiter + "\r\nmore\r\n"), "d"},
        {"delimiter inside the data without a line end before it", form("ab" + kDelimiter + "cd"),
         "ab" + kDelimiter + "cd"},
        {"empty body", "", std::nullopt},
        {"no line end", kDelimiter, std::nullopt},
        {"empty delimiter", "\r\n" + form("x").substr(kDelimiter.size() + 2), std::nullopt},
        {"no second line end", kDelimiter + "\r\n" + kFileField, std::nullopt},
        {"not form-data", form("x", "Content-Disposition: attachment; name=\"f\"; filename=\"a\""),
         std::nullopt},
        {"a field without a file", form("x", "Content-Disposition: form-data; name=\"f\""),
         std::nullopt},
        {"filename later in the part",
         form("; filename=x", "Content-Disposition: form-data; name=\"f\""), std::nullopt},
        {"two blanks before filename",
         form("x", "Content-Disposition: form-data; name=\"f\";  filename=\"a\""), std::nullopt},
        {"filename without a parameter before it",
         form("x", "Content-Disposition: form-data; filename=\"a\""), std::nullopt},
        {"headers do not end", kDelimiter + "\r\n" + kFileField + "\r\nContent-Type: a/b\r\nfw",
         std::nullopt},
        {"no closing delimiter", form("firmware", kFileField, "", "\r\n--other--\r\n"),
         std::nullopt},
        {"empty file", form(""), std::nullopt},
    };
    for (const Case &c : cases) {
        const char *data = nullptr;
        size_t length = 0;
        int rc = upload_extract(c.body.data(), c.body.size(), &data, &length);
        if (c.data) {
            ASSERT_EQ(rc, 0) << c.what;
            EXPECT_EQ(std::string(data, length), *c.data) << c.what;
            EXPECT_TRUE(data > c.body.data() && data + length < c.body.data() + c.body.size())
                << c.what << ": points into the body";
        } else {
            EXPECT_EQ(rc, -1) << c.what;
        }
    }
    EXPECT_EQ(upload_extract(nullptr, 0, nullptr, nullptr), -1);
}

} // namespace
