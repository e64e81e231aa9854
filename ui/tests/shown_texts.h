#pragma once
// The texts the screens show that the launcher writes itself, gathered from the tables and
// functions that produce them (texts built around a number or a name get the widest believable
// values). Shared by the native translation test and the Windows-side test that measures them.
#include "content/components.h"
#include "content/verification.h"
#include "core/flow_texts.h"
#include "core/ui_state.h"
#include "ui/input.h"
#include "ui/news.h"
#include "ui/portal.h"
#include "ui/screen_text.h"

#include <iterator>
#include <string>
#include <vector>

namespace nyra::test {

// What the jobs and the game preparation write into the status line (failures aside: they show
// the failing step's own message).
inline std::vector<std::string> statusTexts() {
    std::vector<std::string> out(std::begin(flow_texts::kStatusTexts), std::end(flow_texts::kStatusTexts));
    for (int next = 2; next <= 4; ++next) out.push_back(flow_texts::connectRetryText(next, 4));
    for (const char* text : {texts::kDownloadingCatalog, texts::kNothingDownloaded, texts::kDownloadsValidated,
                             texts::kDoneReceived, texts::kDoneNothing, texts::kTrustedByTime, texts::kAllIntact,
                             texts::kCheckingServer, texts::kNewSetFound}) {
        out.emplace_back(text);
    }
    constexpr std::uint64_t kMiB = 1 << 20;
    out.push_back("999" + std::string(texts::kRepairingSuffix));
    out.push_back(checkingLabel(999, 999, "nyra-999.pck"));
    out.push_back(hashingText(checkingLabel(999, 999, "nyra-999.pck"), 4095 * kMiB, 4096 * kMiB));
    out.push_back(repairingText("nyra-999.pck", 4095 * kMiB, 4096 * kMiB));
    out.push_back("Pacote sem alteracoes registradas: nyra-999.pck");
    out.push_back("Validando o pacote recebido: nyra-999.pck");
    out.push_back(texts::kReusingPrefix + std::string("nyra-999.pck"));
    out.push_back(texts::kRestartPrefix + std::string("nyra-999.pck"));
    out.push_back(texts::kCheckingComponent + std::string("graphics/reshade/fx/e.fx"));
    out.push_back(texts::kComponentChecked + std::string("graphics/reshade/fx/e.fx"));
    return out;
}

// The splash shows the start-up job's first texts.
inline std::vector<std::string> splashTexts() {
    std::vector<std::string> out{"Conectando ao Nyra Saga Brasil..."};
    for (int next = 2; next <= 4; ++next) out.push_back(flow_texts::connectRetryText(next, 4));
    return out;
}

// Notices: the portal links, the browser that did not open, the language switch.
inline std::vector<std::string> noticeTexts() {
    std::vector<std::string> out;
    for (const ui::PortalLink link : {ui::PortalLink::Home, ui::PortalLink::AllNews, ui::PortalLink::NewsItem,
                                      ui::PortalLink::Register, ui::PortalLink::ForgotPassword}) {
        out.push_back(ui::portalPage(link, "festival-das-lanternas").notice);
    }
    out.push_back(ui::portalPage(ui::PortalLink::NewsItem).notice);  // the built-in item opens the list
    out.emplace_back(ui::kBrowserFailedNotice);
    out.emplace_back(ui::kLanguageAppliedNotice);
    return out;
}

// The status panel's titles for every busy kind and the two idle ones.
inline std::vector<std::string> statusTitles() {
    std::vector<std::string> out;
    UiState s;
    s.busy = true;
    for (const int kind : {kBusyConnecting, kBusyChecking, kBusyDownloading, kBusyPreparing, kBusyFinished}) {
        s.busyKind = kind;
        out.emplace_back(ui::statusPanelTitle(s));
    }
    s.busy = false;
    s.progress = 100;
    out.emplace_back(ui::statusPanelTitle(s));
    s.progress = 0;
    out.emplace_back(ui::statusPanelTitle(s));
    return out;
}

// The signed-in view's line under the name: busy, no notices, one, many.
inline std::vector<std::string> signedInLines() {
    UiState s;
    std::vector<std::string> out{ui::signedInLine(s, 0), ui::signedInLine(s, 1), ui::signedInLine(s, 999)};
    s.busy = true;
    out.push_back(ui::signedInLine(s, 0));
    return out;
}

}  // namespace nyra::test
