// A list reply of 5,000 applications: parse, merge into the application list and send every
// status to the page, against a bare pugixml parse of the same document in the same run;
// then the same reply again (the merge of records already known).

#include <filesystem>
#include <pugixml.hpp>

#include "BenchReport.h"
#include "NullPeers.h"
#include "api/PageHost.h"
#include "api/UJsExterned.h"
#include "core/Global.h"
#include "link/HelperLibraries.h"

namespace {

using vxbench::NullDownloader;
using vxbench::NullHost;
using vxbench::NullLink;

std::string reply(int n) {
    std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<apps>";
    for (int i = 1; i <= n; ++i) {
        const std::string id = std::to_string(i);
        s += "<app><appId>" + id + "</appId><Name>应用" + id + "</Name><Dir>d" + id +
             "</Dir><Ico>ico.png</Ico><MainFile>main.exe</MainFile><Version>1.0." + id +
             "</Version><price>0</price><Statu>显示</Statu><nessary>" +
             (i % 10 ? "否" : "是") +
             "</nessary><Note>说明</Note><Img>i.png</Img><Url>http://help/</Url><Sort>1</Sort>"
             "<myAppVersionName>标准版</myAppVersionName></app>";
    }
    return s + "</apps>";
}

} // namespace

int main() {
    auto dir = std::filesystem::temp_directory_path() / "vx-bench-api";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    vx::InitSharedState((dir / "vxclient").string());
    NullHost host;
    NullLink link;
    NullDownloader down;
    vx::TVX_JS api(host, link, down);
    const std::string text = reply(5000);

    std::size_t sink = 0;
    const double bare = vxbench::bestOf(5, [&] {
        pugi::xml_document doc;
        doc.load_buffer(text.data(), text.size());
        sink += doc.document_element() ? 1 : 0;
    });
    const double first = vxbench::seconds([&] {
        vx::mergeAppList(text);
        api._RefreshApp();
    });
    const double again = vxbench::bestOf(5, [&] {
        vx::mergeAppList(text);
        api._RefreshApp();
    });
    vxbench::report("list of 5000: first merge + statuses (ms) vs pugixml parse", first * 1e3,
                    bare * 1e3, "ms");
    vxbench::report("list of 5000: known records + statuses (ms) vs pugixml parse", again * 1e3,
                    bare * 1e3, "ms");
    std::filesystem::remove_all(dir);
    return sink == 0 || host.calls == 0;
}
