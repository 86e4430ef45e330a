#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>

#include "model/JsonDetail.h"
#include "model/RecordingProject.h"
#include "support/ResultValue.h"

namespace zimlo {
namespace {

const char* kId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

std::string minimal(const std::string& extra = "") {
    return std::string(R"({"id":")") + kId +
           R"(","createdAt":786000000.5,"duration":12.5,"pipTrack":[],"subtitleTrack":[],"isDraft":false)" +
           extra + "}";
}

std::string errorKey(const std::string& text) {
    try {
        RecordingProject::fromJSON(text);
    } catch (const DecodingError& error) {
        return error.keyPath();
    }
    return "(no error)";
}

RecordingProject fullProject() {
    RecordingProject project;
    project.id = *Uuid::parse(kId);
    project.createdAt = Date{786000000.25};
    project.mainVideo = std::filesystem::path("/tmp/录屏 目录/main file.mov");
    project.pipVideo = std::filesystem::path("/tmp/pip#1%.mp4");
    project.duration = 3.1;
    project.pipTrack = {PiPKeyframe{0, {0.8, 0.2}, {0.25, 0.3}, 12},
                        PiPKeyframe{1.5, {0.1, 0.9}, {0.2, 0.2}, 0}};
    project.splitScreenTrack = {SplitScreenKeyframe(2, CameraSplitOrder::backTop, 0.6)};
    project.subtitleTrack = {SubtitleSegment{*Uuid::parse("00000000-0000-4000-8000-0000000000AB"),
                                             0.5, 1.75, "你好，世界 \"quoted\""}};
    project.subtitleLayout = SubtitleLayout{{0.5, 0.8}, 0.9, 1.2};
    project.emphasizesSubtitleKeywords = true;
    project.isDraft = true;
    project.aspect =
        AspectSettings(AspectRatio::r16x9, true, false, CameraSplitOrder::frontTop, 0.5, {});
    project.sourceKind = RecordingSourceKind::camera;
    project.captureViewportSize = Size{1280, 720};
    project.sourceAssetIdentifier = "asset-1";
    project.title = "周会 1";
    return project;
}

TEST(RecordingProjectTest, MinimalDocumentTakesDefaultsAndInfersKind) {
    RecordingProject project = RecordingProject::fromJSON(minimal());
    EXPECT_EQ(project.id.uuidString(), kId);
    EXPECT_EQ(project.createdAt.secondsSinceReferenceDate, 786000000.5);
    EXPECT_FALSE(project.mainVideo);
    EXPECT_FALSE(project.pipVideo);
    EXPECT_TRUE(project.splitScreenTrack.empty());
    EXPECT_EQ(project.subtitleLayout, (SubtitleLayout{{0.5, 0.82}, 0.86, 1.0}));
    EXPECT_FALSE(project.emphasizesSubtitleKeywords);
    EXPECT_EQ(project.aspect, AspectSettings());
    EXPECT_EQ(project.sourceKind, RecordingSourceKind::camera);  // default aspect has PiP on
    EXPECT_FALSE(project.captureViewportSize);
    EXPECT_FALSE(project.sourceAssetIdentifier);
    EXPECT_FALSE(project.title);
    EXPECT_EQ(RecordingProject::fromJSON(minimal(R"(,"title":"周会 \"回顾\"")")).title,
              std::optional<std::string>("周会 \"回顾\""));

    auto kind = [](const std::string& extra) {
        return RecordingProject::fromJSON(minimal(extra)).sourceKind;
    };
    const std::string noPiP = R"(,"aspect":{"isPiPEnabled":false})";
    EXPECT_EQ(kind(noPiP), RecordingSourceKind::screen);
    EXPECT_EQ(kind(noPiP + R"(,"pipVideoURL":"file:///tmp/pip.mov")"), RecordingSourceKind::camera);
    EXPECT_EQ(kind(noPiP + R"(,"splitScreenTrack":[{"time":0,"order":"backTop"}])"),
              RecordingSourceKind::camera);
    EXPECT_EQ(kind(R"(,"aspect":{"isSplitScreenEnabled":true})"), RecordingSourceKind::camera);
    EXPECT_EQ(kind(R"(,"sourceKind":"screen","aspect":{"isSplitScreenEnabled":true})"),
              RecordingSourceKind::screen);

    // pipTrack is required, so build that case from a full document.
    std::string withKeyframe = minimal(noPiP);
    withKeyframe.replace(
        withKeyframe.find(R"("pipTrack":[])"), 13,
        R"("pipTrack":[{"time":1,"center":[0.5,0.5],"size":[0.2,0.2],"cornerRadius":8}])");
    EXPECT_EQ(RecordingProject::fromJSON(withKeyframe).sourceKind, RecordingSourceKind::camera);
}

TEST(RecordingProjectTest, NestedRecordsApplyTheirRules) {
    RecordingProject project = RecordingProject::fromJSON(minimal(
        R"(,"splitScreenTrack":[{"time":1,"order":"frontTop"},{"time":-2,"order":"backTop","topRatio":0.95}])"
        R"(,"subtitleTrack":[{"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","startTime":5,"endTime":4,"text":"x"}])"
        R"(,"unknown":{"ignored":true},"captureViewportSize":[1080,1920],"sourceAssetIdentifier":"")"));
    ASSERT_EQ(project.splitScreenTrack.size(), 2u);
    EXPECT_EQ(project.splitScreenTrack[0].topRatio, 0.5);
    EXPECT_EQ(project.splitScreenTrack[1].topRatio, 0.72);
    EXPECT_EQ(project.splitScreenTrack[1].time, -2);  // kept as stored
    ASSERT_EQ(project.subtitleTrack.size(), 1u);
    EXPECT_EQ(project.subtitleTrack[0].id.uuidString(), kId);
    EXPECT_EQ(project.subtitleTrack[0].endTime, 4);  // end before start is kept
    EXPECT_EQ(project.captureViewportSize, (Size{1080, 1920}));
    EXPECT_EQ(project.sourceAssetIdentifier, "");
    EXPECT_EQ(SplitScreenKeyframe(0, CameraSplitOrder::frontTop, 0.1).topRatio, 0.28);
}

// What parses as a URL is accepted: a relative reference names a movie beside the document; a
// URL of another scheme or host is kept as written (and counts for the kind) but names no file
// here; text that is no URL still fails the document.
TEST(RecordingProjectTest, MovieURLsAreReadAsURLs) {
    auto main = [](const std::string& url) {
        return RecordingProject::fromJSON(minimal(R"(,"mainVideoURL":")" + url + "\"")).mainVideo;
    };
    EXPECT_EQ(main("main.mov"), std::filesystem::path("main.mov"));
    EXPECT_EQ(main("media/%E5%BD%95%E5%B1%8F%201.mov?v=2"),
              std::filesystem::path("media/录屏 1.mov"));
    EXPECT_EQ(main("/tmp/a.mov"), std::filesystem::path("/tmp/a.mov"));
    EXPECT_EQ(main("file:///tmp/a.mov"), std::filesystem::path("/tmp/a.mov"));
    for (const std::string remote :
         {"https://example.com/a.mov", "file://server/a.mov", "//server/a.mov", "?v=2"}) {
        auto movie = main(remote);
        ASSERT_TRUE(movie) << remote;
        EXPECT_FALSE(movie->isFile()) << remote;
        EXPECT_EQ(movie->file(), std::nullopt) << remote;
        EXPECT_EQ(movie->remoteURL(), remote);
    }

    // A remote camera movie makes an older document a camera recording, and is written back
    // as it was read.
    const std::string noPiP = R"(,"aspect":{"isPiPEnabled":false})";
    const RecordingProject remote = RecordingProject::fromJSON(
        minimal(noPiP + R"(,"pipVideoURL":"https:\/\/example.com\/pip%20a.mov")"));
    EXPECT_EQ(remote.sourceKind, RecordingSourceKind::camera);
    EXPECT_EQ(localFile(remote.pipVideo), std::nullopt);
    const std::string remoteText = zimlo::test::valueOrFailure(remote.toJSON());
    EXPECT_NE(remoteText.find(R"("pipVideoURL":"https://example.com/pip%20a.mov")"),
              std::string::npos);
    EXPECT_EQ(RecordingProject::fromJSON(remoteText), remote);
    EXPECT_EQ(errorKey(minimal(R"(,"mainVideoURL":"main .mov")")), "mainVideoURL");
    EXPECT_EQ(errorKey(minimal(R"(,"pipVideoURL":"pip%2.mov")")), "pipVideoURL");
    EXPECT_EQ(errorKey(minimal(R"(,"mainVideoURL":"")")), "mainVideoURL");

    // A relative movie is written back as the same relative reference.
    RecordingProject relative = fullProject();
    relative.mainVideo = std::filesystem::path("a:b/录屏 1.mov");
    relative.pipVideo = std::filesystem::path("pip.mov");
    EXPECT_EQ(RecordingProject::fromJSON(zimlo::test::valueOrFailure(relative.toJSON())), relative);
}

TEST(RecordingProjectTest, DecodingErrorsNameTheKey) {
    EXPECT_EQ(errorKey(minimal(R"(,"sourceKind":"window")")), "sourceKind");
    EXPECT_EQ(errorKey(minimal(R"(,"subtitleLayout":{"center":[0.5,0.5],"maxWidth":0.8})")),
              "subtitleLayout.fontScale");
    EXPECT_EQ(errorKey(minimal(R"(,"aspect":{"main":"2:1"})")), "aspect.main");
    EXPECT_EQ(errorKey(minimal(R"(,"mainVideoURL":"not a url")")), "mainVideoURL");
    EXPECT_EQ(errorKey(minimal(R"(,"mainVideoURL":"file:///a%zz")")), "mainVideoURL");
    EXPECT_EQ(errorKey(minimal(R"(,"captureViewportSize":[1,2,3])")), "captureViewportSize");
    EXPECT_EQ(errorKey(minimal(R"(,"emphasizesSubtitleKeywords":"yes")")),
              "emphasizesSubtitleKeywords");
    EXPECT_EQ(errorKey(minimal(R"(,"splitScreenTrack":[{"time":0,"order":"up"}])")),
              "splitScreenTrack[0].order");
    EXPECT_EQ(errorKey(minimal(R"(,"splitScreenTrack":[{"order":"backTop"}])")),
              "splitScreenTrack[0].time");
    EXPECT_EQ(errorKey(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5","createdAt":0})"), "id");
    EXPECT_EQ(errorKey(R"({"id":null,"createdAt":0})"), "id");
    EXPECT_EQ(errorKey(R"({"id":")" + std::string(kId) + R"(","createdAt":0,"duration":1e999})"),
              "");
    std::string badCenter = minimal();
    badCenter.replace(
        badCenter.find(R"("pipTrack":[])"), 13,
        R"("pipTrack":[{"time":1,"center":[0.5],"size":[0.2,0.2],"cornerRadius":8}])");
    EXPECT_EQ(errorKey(badCenter), "pipTrack[0].center");
    for (const char* field :
         {"\"duration\"", "\"subtitleTrack\"", "\"isDraft\"", "\"createdAt\""}) {
        std::string text = minimal();
        text.replace(text.find(field), std::strlen(field), "\"renamed\"");
        EXPECT_EQ(errorKey(text), std::string(field).substr(1, std::strlen(field) - 2));
    }
    try {
        RecordingProject::fromJSON(minimal(R"(,"sourceKind":"window")"));
        FAIL();
    } catch (const DecodingError& error) {
        EXPECT_NE(std::string(error.what()).find("sourceKind"), std::string::npos);
    }
    EXPECT_THROW(RecordingProject::fromJSON("{\"id\":"), DecodingError);
    EXPECT_THROW(RecordingProject::fromJSON("[]"), DecodingError);
}

// Documents found in the drafts folder may be anything: each hostile shape is refused with an
// error naming the limit, quickly and without exhausting the stack or the memory.
TEST(RecordingProjectTest, HostileDocumentsAreRefusedQuickly) {
    auto refusal = [](const std::string& text) -> std::string {
        auto started = std::chrono::steady_clock::now();
        std::string what = "(accepted)";
        try {
            RecordingProject::fromJSON(text);
        } catch (const DecodingError& error) {
            what = error.what();
        }
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_LT(seconds, 1.0) << what;
        return what;
    };
    std::string deep;
    for (int i = 0; i < 50'000; ++i) deep += i % 2 ? "[" : "{\"a\":";
    for (int i = 50'000; i-- > 0;) deep += i % 2 ? "]" : "}";
    EXPECT_NE(refusal(minimal(",\"extra\":" + deep)).find("nested"), std::string::npos);
    EXPECT_NE(refusal(std::string(50'000'000, '[')).find("MiB"), std::string::npos);

    std::string manyKeys = ",\"extra\":{";
    for (int i = 0; i < 100'000; ++i) manyKeys += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
    EXPECT_NE(refusal(minimal(manyKeys + "}")).find("keys"), std::string::npos);

    // Far below the limits a document still decodes: a long recording's keyframes.
    std::string keyframes = "[";
    for (int i = 0; i < 20'000; ++i)
        keyframes += (i ? "," : "") + std::string(R"({"time":)") + std::to_string(i) +
                     R"(,"center":[0.5,0.5],"size":[0.2,0.2],"cornerRadius":8})";
    std::string busy = minimal();
    busy.replace(busy.find(R"("pipTrack":[])"), 13, "\"pipTrack\":" + keyframes + "]");
    EXPECT_EQ(refusal(busy), "(accepted)");
}

// The document reader takes a quicker route for ordinary documents; whichever route a text
// takes, it must read as the general JSON parser reads it: the same values of the same types (an
// integer is not a double, -0 is the integer 0) in the same key order, or fail where it fails.
TEST(RecordingProjectTest, DocumentsReadAsTheGeneralParserReadsThem) {
    using json_detail::Json;
    std::function<void(const Json&, const Json&, const std::string&)> expectSame =
        [&](const Json& read, const Json& general, const std::string& text) {
            ASSERT_EQ(read.type(), general.type()) << text;
            if (read.is_object()) {
                ASSERT_EQ(read.size(), general.size()) << text;
                for (auto a = read.begin(), b = general.begin(); a != read.end(); ++a, ++b) {
                    ASSERT_EQ(a.key(), b.key()) << text;
                    expectSame(*a, *b, text);
                }
            } else if (read.is_array()) {
                ASSERT_EQ(read.size(), general.size()) << text;
                for (size_t i = 0; i < read.size(); ++i) expectSame(read[i], general[i], text);
            } else if (read.is_number_float()) {
                const double a = read.get<double>(), b = general.get<double>();
                EXPECT_TRUE(a == b && std::signbit(a) == std::signbit(b)) << text;
            } else {
                EXPECT_EQ(read, general) << text;
            }
        };
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += "[";
    deep += "1";
    for (int i = 0; i < 40; ++i) deep += "]";
    std::string wide = "{";
    for (int i = 0; i < 600; ++i) wide += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
    RecordingProject busy = fullProject();
    for (int i = 0; i < 50; ++i)
        busy.subtitleTrack.push_back({*Uuid::parse(kId), i * 1.5, i * 1.5 + 1.25,
                                      "第" + std::to_string(i) + "句\t\"话\"\n"});
    const std::vector<std::string> documents = {
        zimlo::test::valueOrFailure(fullProject().toJSON()),
        zimlo::test::valueOrFailure(busy.toJSON()),
        minimal(),
        " \t\r\n{ \"a\" : [ 1 , 2 ] , \"b\" : { } , \"c\" : [ ] }\n",
        R"([0,-0,7,-7,1.0,-0.0,1e2,1E+2,-1.5e-3,0.1,786000000.123456789])",
        R"([18446744073709551615,18446744073709551616,-9223372036854775808,-9223372036854775809])",
        R"([123456789012345678901234567890,2.2250738585072011e-308,4.9e-324,1e-400,1e400])",
        R"({"a":1,"b":2,"a":3})",
        R"({"a":"\u00e9\ud83d\ude00","b":"\"\\\/\b\f\n\r\t"})",
        "\xEF\xBB\xBF{\"bom\":true}",
        "[\"\xE4\xBD\xA0\xF0\x9F\x98\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\"]",
        deep,
        wide + "}",
        "[true,false,null]",
        "\"just a string\"",
        // Malformed: every one must fail.
        "",
        "   ",
        "01",
        "1.",
        ".5",
        "-",
        "+1",
        "1e",
        "[1,]",
        "{\"a\":1,}",
        "{'a':1}",
        "[truex]",
        "nul",
        "{} x",
        "{\"a\" 1}",
        "[1 2]",
        "\"\x01\"",
        "\"\xC0\x80\"",
        "\"\xED\xA0\x80\"",
        "\"\xF4\x90\x80\x80\"",
        "\"\xF5\x80\x80\x80\"",
        "\"\xE4\xBD\"",
        "\"open",
        "[\"\\x\"]",
        "[\"\\u12\"]",
        "{\"a\":[1}",
        "[1]]",
    };
    for (const std::string& text : documents) {
        std::optional<Json> general;
        try {
            general = Json::parse(text);
        } catch (const nlohmann::json::exception&) {
        }
        try {
            Json read = json_detail::parseDocument(text);
            ASSERT_TRUE(general.has_value()) << "read, but the general parser refuses: " << text;
            expectSame(read, *general, text);
        } catch (const DecodingError&) {
            EXPECT_FALSE(general.has_value()) << "refused, but the general parser reads: " << text;
        }
    }
}

TEST(RecordingProjectTest, EncodingIsCompactOrderedAndRoundTrips) {
    RecordingProject project = fullProject();
    std::string text = zimlo::test::valueOrFailure(project.toJSON());
    EXPECT_EQ(
        text,
        std::string(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","createdAt":786000000.25,)") +
            R"("mainVideoURL":"file:///tmp/%E5%BD%95%E5%B1%8F%20%E7%9B%AE%E5%BD%95/main%20file.mov",)"
            R"("pipVideoURL":"file:///tmp/pip%231%25.mp4","duration":3.1,)"
            R"("pipTrack":[{"time":0.0,"center":[0.8,0.2],"size":[0.25,0.3],"cornerRadius":12.0},)"
            R"({"time":1.5,"center":[0.1,0.9],"size":[0.2,0.2],"cornerRadius":0.0}],)"
            R"("splitScreenTrack":[{"time":2.0,"order":"backTop","topRatio":0.6}],)"
            R"("subtitleTrack":[{"id":"00000000-0000-4000-8000-0000000000AB","startTime":0.5,"endTime":1.75,)"
            R"("text":"你好，世界 \"quoted\""}],)"
            R"("subtitleLayout":{"center":[0.5,0.8],"maxWidth":0.9,"fontScale":1.2},)"
            R"("emphasizesSubtitleKeywords":true,"isDraft":true,)"
            R"("aspect":{"main":"16:9","isPiPEnabled":true,"isSplitScreenEnabled":false,)"
            R"("splitOrder":"frontTop","splitTopRatio":0.5,"pip":{"aspect":"默认","cornerRatio":0.12}},)"
            R"("sourceKind":"camera","captureViewportSize":[1280.0,720.0],"sourceAssetIdentifier":"asset-1",)"
            R"("title":"周会 1"})");
    EXPECT_EQ(RecordingProject::fromJSON(text), project);

    RecordingProject bare = project;
    bare.mainVideo.reset();
    bare.pipVideo.reset();
    bare.captureViewportSize.reset();
    bare.sourceAssetIdentifier.reset();
    bare.title.reset();
    std::string bareText = zimlo::test::valueOrFailure(bare.toJSON());
    for (const char* key : {"mainVideoURL", "pipVideoURL", "captureViewportSize",
                            "sourceAssetIdentifier", "\"title\"", "null"})
        EXPECT_EQ(bareText.find(key), std::string::npos) << key;
    EXPECT_EQ(RecordingProject::fromJSON(bareText), bare);
}

TEST(RecordingProjectTest, DoublesRoundTripExactly) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<uint64_t> bits;
    RecordingProject project = fullProject();
    for (int i = 0; i < 2000; ++i) {
        double value;
        do {
            uint64_t raw = bits(random);
            std::memcpy(&value, &raw, sizeof value);
        } while (!std::isfinite(value));
        project.duration = value;
        project.createdAt = Date{std::ldexp(static_cast<double>(bits(random) >> 11), -20)};
        RecordingProject back =
            RecordingProject::fromJSON(zimlo::test::valueOrFailure(project.toJSON()));
        ASSERT_EQ(back.duration, project.duration) << zimlo::test::valueOrFailure(project.toJSON());
        ASSERT_EQ(back.createdAt, project.createdAt);
    }
    project.duration = 0.1;
    EXPECT_NE(zimlo::test::valueOrFailure(project.toJSON()).find(R"("duration":0.1,)"),
              std::string::npos);
}

// What JSON cannot hold is refused with the key path of the value, as decoding names keys.
TEST(RecordingProjectTest, NonFiniteNumbersAndBrokenTextFailToEncode) {
    auto failingKey = [](auto change) -> std::string {
        RecordingProject project = fullProject();
        change(project);
        auto encoded = project.toJSON();
        return encoded ? std::string("(no error)") : encoded.error().keyPath;
    };
    double nan = std::numeric_limits<double>::quiet_NaN();
    double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(failingKey([&](RecordingProject& p) { p.duration = nan; }), "duration");
    EXPECT_EQ(failingKey([&](RecordingProject& p) { p.pipTrack[1].center.y = inf; }),
              "pipTrack[1].center[1]");
    EXPECT_EQ(failingKey([&](RecordingProject& p) { p.aspect.pip.cornerRatio = -inf; }),
              "aspect.pip.cornerRatio");
    EXPECT_EQ(failingKey([&](RecordingProject& p) { p.captureViewportSize->width = nan; }),
              "captureViewportSize[0]");
    EXPECT_EQ(failingKey([&](RecordingProject& p) { p.subtitleTrack[0].text = "ab\xff"; }),
              "subtitleTrack[0].text");

    RecordingProject project = fullProject();
    project.duration = nan;
    EXPECT_EQ(project.toJSON().error().text(), "duration: cannot encode a non-finite number (nan)");
    SubtitleSegment segment{Uuid::generate(), inf, 2, "x"};
    ASSERT_FALSE(subtitleSegmentText(segment));
    EXPECT_EQ(subtitleSegmentText(segment).error().keyPath, "startTime");
}

TEST(RecordingProjectTest, FileURLs) {
    for (const char* path :
         {"/tmp/a b/c.mov", "/home/用户/文稿/录屏 1.mp4", "/x/100%/#?;=.m4v", "/"}) {
        std::string url = fileURLString(path);
        EXPECT_TRUE(url.starts_with("file:///")) << url;
        EXPECT_EQ(url.find(' '), std::string::npos);
        EXPECT_EQ(pathFromFileURLString(url), std::filesystem::path(path)) << url;
    }
    EXPECT_EQ(pathFromFileURLString("file://localhost/tmp/x%20y.mov"),
              std::filesystem::path("/tmp/x y.mov"));
    EXPECT_EQ(pathFromFileURLString("FILE:/tmp/x.mov"), std::filesystem::path("/tmp/x.mov"));
    for (const char* bad : {"http://host/x.mov", "file://otherhost/x.mov", "file:relative",
                            "/tmp/x.mov", "file:///a b", "file:///a%2", "file:///a%00b"})
        EXPECT_FALSE(pathFromFileURLString(bad)) << bad;
}

TEST(RecordingProjectTest, NeedsComposition) {
    RecordingProject project;
    project.aspect =
        AspectSettings(AspectRatio::default_, false, false, CameraSplitOrder::frontTop, 0.5, {});
    EXPECT_FALSE(project.needsComposition());
    RecordingProject pip = project;
    pip.aspect.isPiPEnabled = true;
    RecordingProject split = project;
    split.aspect.isSplitScreenEnabled = true;
    RecordingProject subtitled = project;
    subtitled.subtitleTrack.push_back({});
    RecordingProject fixedAspect = project;
    fixedAspect.aspect.main = AspectRatio::r1x1;
    for (const auto* p : {&pip, &split, &subtitled, &fixedAspect})
        EXPECT_TRUE(p->needsComposition());
}

}  // namespace
}  // namespace zimlo
