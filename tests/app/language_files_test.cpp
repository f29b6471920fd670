// The shipped language files hold every text the program looks up, with inserts of the right kind.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "app/private_exception.h"
#include "model/dev_types.h"

namespace {

enum Kind { STR, INT, INT64 };

struct MessageKey {
    const char* key;
    std::vector<Kind> inserts;
};

const MessageKey kMessages[] = {
    {"tb0", {}},
    {"tb1", {}},
    {"tb2", {}},
    {"tb3", {}},
    {"tb4", {}},
    {"fopenfilter", {}},
    {"uploading", {}},
    {"downloading", {}},
    {"comerr", {STR, STR}},
    {"unknowndev", {INT}},
    {"diffdev", {}},
    {"illfileerr", {}},
    {"verfileerr", {}},
    {"desfileerr", {}},
    {"autherr", {}},
    {"stopcom", {}},
    {"passtoolong", {}},
    {"passchars", {}},
    {"mbio.message", {STR, INT, INT, STR}},
    {"mbio.timeout", {}},
    {"mbio.invalid_transaction", {}},
    {"mbio.invalid_response", {}},
    {"mbio.crcerr", {}},
    {"mbio.exception", {INT}},
    {"mbio.tcperr", {STR}},
    {"serio.openerr", {STR, STR}},
    {"serio.permission", {}},
    {"serio.busy", {}},
    {"port.serialno", {STR}},
    {"port.manufacturer", {STR}},
    {"port.product", {STR}},
    {"port.usbid", {STR}},
    {"port.serial", {STR}},
    {"port.byid", {STR}},
    {"port.device", {STR}},
    {"serio.group", {STR, STR, STR}},
    {"serio.relogin", {STR, STR}},
    {"serio.mode", {STR, STR, STR, STR, STR}},
    {"serio.heldby", {STR, STR, STR}},
    {"serio.modemmanager", {}},
    {"serio.brltty", {}},
    {"serio.gone", {STR}},
    {"serio.notserial", {STR}},
    {"serio.sandbox", {STR, STR}},
    {"doc.ports", {INT}},
    {"doc.noports", {}},
    {"doc.node", {STR, STR, STR, STR}},
    {"doc.nodeok", {STR, STR, STR, STR}},
    {"doc.user", {STR}},
    {"doc.session", {STR}},
    {"doc.database", {STR}},
    {"doc.relogin", {STR}},
    {"doc.holder", {STR, STR, STR}},
    {"doc.noholders", {}},
    {"doc.incomplete", {}},
    {"doc.mm", {STR}},
    {"doc.brltty", {}},
    {"doc.sandbox", {STR}},
    {"doc.vfolder", {STR}},
    {"doc.vmissing", {STR}},
    {"doc.vunsafe", {STR}},
    {"doc.vlink", {STR, STR}},
    {"doc.vstale", {STR, STR}},
    {"doc.noport", {}},
    {"doc.openok", {STR}},
    {"MSG_CANNOT_COM_SETTING", {}},
    {"rangeerr", {STR, STR, STR}},
    {"hexerr", {STR}},
    {"enckeyerr", {STR}},
    {"inperr", {}},
    {"inpierr", {}},
    {"inpherr", {}},
    {"iperr", {}},
    {"strerr", {STR, INT64}},
    {"toolongerr", {STR, INT64}},
    {"unitsec", {}},
    {"unitch", {}},
    {"unitdegc", {}},
    {"unitdegf", {}},
    {"unitperc", {}},
    {"unitma", {}},
    {"unita", {}},
    {"unitmv", {}},
    {"unitv", {}},
    {"unitohm", {}},
    {"unitdbm", {}},
    {"mon.ok", {}},
    {"mon.err", {}},
    {"mon.null", {}},
    {"pup.count", {INT}},
    {"cli.usage", {}},
    {"cli.badoption", {STR}},
    {"cli.needvalue", {STR}},
    {"cli.badvalue", {STR, STR}},
    {"cli.nocommand", {}},
    {"cli.badcommand", {STR}},
    {"cli.notfor", {STR, STR}},
    {"cli.missing", {STR, STR}},
    {"cli.extra", {STR}},
    {"cli.badassign", {STR}},
    {"cli.noport", {}},
    {"cli.password", {}},
    {"cli.cancelled", {}},
    {"cli.badmodel", {STR, STR}},
    {"cli.cantwrite", {STR, STR}},
    {"cli.saved", {STR}},
    {"cli.written", {}},
    {"cli.identity", {INT, STR, STR, STR, STR}},
    {"cli.modelhead", {STR, STR, INT, STR}},
    {"cli.unknownkey", {STR, STR}},
    {"cli.readonly", {STR, STR}},
    {"cli.locked", {STR, STR}},
    {"cli.listvalue", {STR, STR, STR}},
    {"cli.channels", {STR, INT, INT, INT}},
    // verification, comparison and reports
    {"verifying", {}},
    {"passof", {INT, INT, STR}},
    {"verifyerr", {INT, INT, STR}},
    {"verifyline", {STR, STR, STR}},
    {"verifymore", {INT}},
    {"verifyopt", {}},
    {"report.save", {}},
    {"report.filter", {}},
    {"report.title", {}},
    {"report.made", {}},
    {"report.program", {}},
    {"report.port", {}},
    {"report.source", {}},
    {"report.fromdevice", {}},
    {"report.fromfile", {STR}},
    {"report.model", {}},
    {"report.typecode", {}},
    {"report.version", {}},
    {"report.firmware", {}},
    {"report.serial", {}},
    {"report.mac", {}},
    {"report.params", {}},
    {"report.section", {}},
    {"report.parameter", {}},
    {"report.value", {}},
    {"report.unit", {}},
    {"report.verify", {}},
    {"report.verifyok", {INT}},
    {"report.verifyfail", {INT, INT}},
    {"report.written", {}},
    {"report.held", {}},
    {"report.csvdiff", {STR, STR}},
    {"report.cantwrite", {STR, STR}},
    {"cli.verified", {}},
    {"cli.kept", {STR}},
    {"cli.reportsaved", {STR}},
    // main window: status line
    {"st.new", {STR}},
    {"st.opened", {STR}},
    {"st.fromdevice", {STR, STR, STR, STR}},
    {"st.fromdeviceserial", {STR, STR, STR, STR, STR}},
    {"st.read", {INT, STR}},
    {"st.written", {INT, STR}},
    {"st.saved", {STR}},
    {"st.cancelled", {}},
    {"st.noconnect", {}},
    {"st.connecting", {STR}},
    {"st.modified", {}},
    // main window: questions, tool tips, save errors
    {"ask.save", {}},
    {"ask.discard", {}},
    {"ask.cancel", {}},
    {"ask.yes", {}},
    {"ask.no", {}},
    {"ask.savefile", {STR}},
    {"ask.savenew", {}},
    {"tip0", {}},
    {"tip1", {}},
    {"tip2", {}},
    {"tip3", {}},
    {"tip4", {}},
    {"tipmodel", {}},
    {"saveerr", {STR, STR}},
    // monitor: reasons, unlock, reset confirmation
    {"mon.why.silent", {}},
    {"mon.why.protect", {}},
    {"mon.unlock", {}},
    {"mon.writefail", {STR, STR}},
    {"mon.askreset", {STR}},
    // main window: languages, about
    {"lang.menu", {}},
    {"about.menu", {}},
    {"about.text", {STR, STR, STR, STR, STR}},
    {"pup.limit", {INT, INT}},
    // traffic log and communication statistics
    {"traffic.read", {INT, INT, INT}},
    {"traffic.read1", {INT}},
    {"traffic.write", {INT, INT, INT}},
    {"traffic.write1", {INT}},
    {"traffic.password", {INT, INT, INT}},
    {"traffic.password1", {INT}},
    {"traffic.written", {INT, INT, INT}},
    {"traffic.written1", {INT}},
    {"traffic.reply", {INT}},
    {"traffic.reply1", {}},
    {"traffic.exception", {INT, STR}},
    {"traffic.exc1", {}},
    {"traffic.exc2", {}},
    {"traffic.exc3", {}},
    {"traffic.exc4", {}},
    {"traffic.exc5", {}},
    {"traffic.exc6", {}},
    {"traffic.exc8", {}},
    {"traffic.exc10", {}},
    {"traffic.exc11", {}},
    {"traffic.exc20", {}},
    {"traffic.exc21", {}},
    {"traffic.excunknown", {}},
    {"traffic.timeout", {INT64, INT, INT}},
    {"traffic.crc", {}},
    {"traffic.invalid", {}},
    {"traffic.transaction", {INT}},
    {"traffic.retry", {INT, INT}},
    {"traffic.stale", {INT}},
    {"traffic.ms", {INT64}},
    {"num.groupsep", {}},
    {"stat.text", {STR, STR, STR, STR, STR, STR, INT64, INT64}},
    {"stat.last", {STR}},
    {"stat.monitor", {STR, STR, STR, INT64}},
    {"traffic.open", {}},
    {"traffic.title", {}},
    {"traffic.pause", {}},
    {"traffic.clear", {}},
    {"traffic.copy", {}},
    {"traffic.save", {}},
    {"traffic.col.time", {}},
    {"traffic.col.dir", {}},
    {"traffic.col.bytes", {}},
    {"traffic.col.meaning", {}},
    {"traffic.col.ms", {}},
    {"traffic.savefilter", {}},
    {"traffic.saveerr", {STR, STR}},
    // values a parameter does not allow, downloads that stopped part-way, incomplete languages
    {"val.bad", {STR, STR, STR}},
    {"val.range", {STR, STR}},
    {"val.list", {STR}},
    {"val.text", {INT64}},
    {"val.name", {INT64}},
    {"val.channels", {INT, INT, INT}},
    {"val.refused", {STR}},
    {"val.loaded", {STR}},
    {"val.mark", {STR}},
    {"mixwarn", {INT, INT}},
    {"lang.missing", {STR, INT}},
};

// Each insert used in the text must name an argument the program passes, with a conversion of
// the argument's kind.
void CheckInserts(const std::string& key, const std::string& text, const std::vector<Kind>& kinds) {
    static const std::regex insert(R"(%([1-9][0-9]?)(?:!([^!]*)!)?)");
    std::string noEscapes = std::regex_replace(text, std::regex("%%"), "");
    for (std::sregex_iterator it(noEscapes.begin(), noEscapes.end(), insert), end; it != end;
         ++it) {
        size_t n = std::stoul((*it)[1]);
        ASSERT_LE(n, kinds.size()) << key << ": insert %" << n << " has no argument";
        std::string conv = (*it)[2].matched ? (*it)[2].str() : "s";
        switch (kinds[n - 1]) {
            case STR:
                EXPECT_TRUE(conv.ends_with("s")) << key << ": %" << n << " must be a string";
                break;
            case INT:
                EXPECT_TRUE(std::regex_match(conv, std::regex("[-+ #0-9]*[diuxX]")))
                    << key << ": %" << n << "!" << conv;
                break;
            case INT64:
                EXPECT_TRUE(std::regex_match(conv, std::regex("[-+ #0-9]*(I64|ll)[diuxX]")))
                    << key << ": %" << n << "!" << conv;
                break;
        }
    }
}

class LanguageFile : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        g_resources.Init();
        g_resources.LoadLanguage(GetParam());
    }
};

}  // namespace

TEST_P(LanguageFile, HasEveryMessageWithMatchingInserts) {
    EXPECT_FALSE(g_resources.GetLanguageName().empty());
    EXPECT_FALSE(g_resources.GetLocaleName().empty()) << "Qt's own texts follow the locale";
    for (const MessageKey& m : kMessages) {
        std::string text = g_resources.GetMessageText(m.key);
        EXPECT_FALSE(text.empty()) << m.key;
        CheckInserts(m.key, text, m.inserts);
    }
}

TEST_P(LanguageFile, LacksNoTextOfTheEnglishFile) {
    EXPECT_EQ(g_resources.MissingTexts(), 0);
}

TEST_P(LanguageFile, HasDialogCaptions) {
    for (int dialog : {102, 129, 133, 134, 138})
        EXPECT_FALSE(g_resources.GetGuiText(dialog, 0).empty()) << dialog;
    // Controls added to the windows, which their templates name only in English.
    const std::pair<int, int> kControls[] = {{138, 1084}};
    for (auto [dialog, control] : kControls)
        EXPECT_FALSE(g_resources.GetGuiText(dialog, control).empty()) << dialog << "/" << control;
}

TEST_P(LanguageFile, HasEveryModelText) {
    CDevType types;
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        EXPECT_FALSE(types.LongName(entry).empty()) << entry;
        for (int factory : {DEV_SETTINGS, DEV_MONITOR}) {
            auto model = types.Create(entry, 0, factory);
            for (int i = 0; i < model->Count(); ++i) {
                const CParInterface& p = model->At(i);
                SCOPED_TRACE(std::string(model->ModelCode()) + "/" + p.Key());
                EXPECT_FALSE(p.GetLabel().empty());
                if (p.Type() != PAR_LIST16 && p.Type() != PAR_LIST32) continue;
                if (p.Maximum() > p.Minimum()) {
                    for (int64_t v = p.Minimum(); v <= p.Maximum(); ++v)
                        EXPECT_FALSE(p.GetListText(v).empty()) << v;
                } else {
                    EXPECT_NE(p.GetListValue(0), -1) << "list without items";
                }
                // The list editor captions items until the first empty one: none may be missing.
                int items = 0;
                while (items < 1000 && !p.FormatNumber(p.GetListValue(items)).empty()) ++items;
                EXPECT_GT(items, 0);
            }
        }
    }
    EXPECT_FALSE(g_resources.GetParameterText("RB16KT5QD", "txlimit").empty());
    for (const char* section : {"RB16KT5_2", "RB16T5-PLX4M_2", "RB16T5-SQ7_2"})
        EXPECT_FALSE(g_resources.GetParameterText(section, "outnrvl").empty()) << section;
}

INSTANTIATE_TEST_SUITE_P(
    Shipped, LanguageFile, ::testing::Values("English.lng", "Japanese.lng"), [](const auto& info) {
        return std::string(info.param).substr(0, std::string(info.param).find('.'));
    });
