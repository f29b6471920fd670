#include "app/private_exception.h"

#include <gtest/gtest.h>

#include "test_support.h"

TEST(PrivateException, KeyedMessageIsFormattedOrBareKey) {
    g_resources.Init();
    EXPECT_EQ(CPrivateException(CPrivateException::Key{"unknowndev"}, {int32_t{12}}).Message(),
              "unknowndev");

    testing_support::LoadEnglish();
    std::string text =
        CPrivateException(CPrivateException::Key{"unknowndev"}, {int32_t{12}}).Message();
    EXPECT_NE(text.find("12"), std::string::npos) << text;
    EXPECT_EQ(text.find('%'), std::string::npos) << text;
}

TEST(PrivateException, LiteralFormsAndSignals) {
    CPrivateException protect(std::string("PROTECT"));
    EXPECT_TRUE(protect.IsProtect());
    EXPECT_EQ(protect.Message(), "PROTECT");
    CPrivateException cancelled;
    EXPECT_TRUE(cancelled.IsCancelled());
    char buf[8] = "xxxxxxx";
    EXPECT_TRUE(cancelled.GetErrorMessage(buf, sizeof buf));
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(CPrivateException(CMessageFormatter(ENOENT)).Message(), "No such file or directory");
}

TEST(PrivateException, GetErrorMessageTruncates) {
    CPrivateException e(std::string(2000, 'a'));
    char buf[512];
    e.GetErrorMessage(buf, sizeof buf);
    EXPECT_EQ(std::string(buf).size(), 511u);
    // A multi-byte character is never cut in two.
    CPrivateException jp(std::string("\xE3\x81\x82\xE3\x81\x84"));  // two 3-byte characters
    char small[5];
    jp.GetErrorMessage(small, sizeof small);
    EXPECT_STREQ(small, "\xE3\x81\x82");
}
