#include <gtest/gtest.h>

#include <filesystem>

#include "core/Xml.h"
#include "support/TempDir.h"

using namespace vx;

namespace {
pugi::xml_document parsed(const char* text) {
    pugi::xml_document doc;
    EXPECT_TRUE(xml::parse(doc, text).ok()) << text;
    return doc;
}
} // namespace

TEST(XmlLookup, FirstElementDepthFirstInDocumentOrderIgnoringCase) {
    auto doc = parsed(R"(<root>
        <a><Version>deep-first</Version></a>
        <VERSION>second</VERSION>
        <b><version>third</version></b>
      </root>)");
    pugi::xml_node root = doc.document_element();
    EXPECT_EQ(xml::elementText(root, "version"), "deep-first");
    EXPECT_EQ(xml::elementText(root.child("b"), "VERSION"), "third");
    // Strictly below the node: the node itself does not count.
    EXPECT_FALSE(xml::findElement(root, "root"));
    EXPECT_EQ(xml::elementText(root, "missing"), "");
    EXPECT_FALSE(xml::findElement(pugi::xml_node(), "x"));
    // After leaving a subtree the walk continues with the next sibling of an ancestor.
    auto doc2 = parsed("<r><a><b><c/></b></a><d><target>t</target></d></r>");
    EXPECT_EQ(xml::elementText(doc2.document_element(), "TARGET"), "t");
    // The walk stays below the given node.
    auto doc3 = parsed("<r><a><x/></a><target>outside</target></r>");
    EXPECT_FALSE(xml::findElement(doc3.document_element().child("a"), "target"));
}

TEST(XmlLookup, AttributesAndText) {
    auto doc = parsed(R"(<f Dir="{app}\bin" NAME="a.exe" md5="ABC"><![CDATA[x<y]]></f>)");
    pugi::xml_node f = doc.document_element();
    EXPECT_EQ(xml::attr(f, "dir"), "{app}\\bin");
    EXPECT_EQ(xml::attr(f, "Name"), "a.exe");
    EXPECT_EQ(xml::attr(f, "MD5"), "ABC");
    EXPECT_EQ(xml::attr(f, "missing"), "");
    EXPECT_EQ(xml::text(f), "x<y");
    EXPECT_EQ(xml::text(pugi::xml_node()), "");
}

TEST(XmlParse, ErrorsSayWhere) {
    pugi::xml_document doc;
    Status st = xml::parse(doc, "<a><b></a>");
    EXPECT_FALSE(st);
    EXPECT_NE(st.error().find("offset"), std::string::npos);
}

TEST(XmlSave, IndentedUtf8WithDeclarationAndRoundTrip) {
    vxtest::TempDir dir("xml");
    pugi::xml_document doc;
    auto users = doc.append_child("Users");
    auto u = users.append_child("user");
    u.append_attribute("name") = "张三";
    u.text() = "密码 & <x>";
    std::string path = dir.file("Users.xml");
    ASSERT_TRUE(xml::save(doc, path).ok());
    std::string text = vxtest::readFile(path);
    EXPECT_TRUE(text.starts_with("<?xml version=\"1.0\"?>\n<Users>\n  <user name=\"张三\">"));
    pugi::xml_document back;
    ASSERT_TRUE(xml::load(back, path).ok());
    EXPECT_EQ(xml::attr(xml::findElement(back, "USER"), "name"), "张三");
    EXPECT_EQ(xml::elementText(back, "user"), "密码 & <x>");
}

TEST(XmlSave, FailedWriteLeavesTheOldFileWhole) {
    vxtest::TempDir dir("xml");
    std::string path = dir.write("sub/Users.xml", "<old/>\n");
    pugi::xml_document doc;
    doc.append_child("new");
    // A folder where the temporary file would go that cannot hold it: make the folder
    // read-only for everyone but root, and replace it by a file for root.
    std::filesystem::path sub = dir.path() / "sub";
    // Writing into a path whose folder is a regular file fails even for root.
    EXPECT_FALSE(xml::save(doc, (sub / "Users.xml" / "x.xml").string()).ok());
    EXPECT_EQ(vxtest::readFile(path), "<old/>\n");
    // A successful write replaces the file and leaves no temporary behind.
    ASSERT_TRUE(xml::save(doc, path).ok());
    EXPECT_NE(vxtest::readFile(path).find("<new />"), std::string::npos);
    int files = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(sub))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST(XmlLoad, MissingAndMalformedFiles) {
    vxtest::TempDir dir("xml");
    pugi::xml_document doc;
    Status missing = xml::load(doc, dir.file("none.xml"));
    EXPECT_FALSE(missing);
    EXPECT_NE(missing.error().find("none.xml"), std::string::npos);
    EXPECT_FALSE(xml::load(doc, dir.write("bad.xml", "<a>")));
}
