#include "common/application.h"

#include <atomic>

#include "common/message_box.h"

namespace vr {
namespace {
Application g_default_app;
std::atomic<Application*> g_app{nullptr};
}  // namespace

void Application::ShowMessage(const std::string& text, const std::string& caption, uint32_t flags) {
  ShowPlatformMessageBox(owner_window_, text, caption, flags);
}

void Application::ReportError(const std::string& message) {
  ShowMessage(message, "Ошибка", MB_OK | MB_ICONERROR);
}

Application& App() {
  Application* a = g_app.load(std::memory_order_acquire);
  return a ? *a : g_default_app;
}

void SetApplication(Application* app) {
  g_app.store(app, std::memory_order_release);
}

}  // namespace vr
