// The client's application object: start-up, the task list and its processing pass,
// commands, preferences and statistics.
#include "client/application.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "framework/clock.h"
#include "framework/text.h"

namespace cv::client {

namespace {

// Asks the application for a processing pass (posted with Replace: at most one pending).
constexpr Uint32 msg_ProcessTasks = 1001;

Uint32 NowSeconds() { return UDateTime::GetSeconds(); }

}  // namespace

CMyApplication::CMyApplication(SMyClientSettings settings, SMyCoreViews views)
    : CApplication(settings.documents), settings_(std::move(settings)), views_(views), tasksWindow_(views.tasks) {
  cleanupTimer_.reset(UTimer::New(&CMyApplication::OnMessage, this));
}

CMyApplication::~CMyApplication() {
  // The process or test is ending: tasks and the connection go without telling anyone.
  closing_ = true;
  while (!tasks_.empty()) {
    std::unique_ptr<CMyTask> owner = std::move(tasks_.back().owner);
    if (!owner) tasks_.pop_back();
  }
  connection_.reset();
  cleanupTimer_.reset();
  UMessageSys::Flush(&CMyApplication::OnMessage, this);
  URez::Dispose(rezFile_);
}

void CMyApplication::OpenResourceFile() {
  std::vector<std::string> folders;
  if (!settings_.resourceFolder.empty()) folders.push_back(settings_.resourceFolder);
  if (!settings_.folder.empty()) folders.push_back(settings_.folder);
  folders.push_back(ProgramFolder());
  for (const std::string& folder : folders) {
    const std::string path = (std::filesystem::path(folder) / std::string(kResourceFileName)).string();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) continue;
    try {
      rezFile_ = URez::OpenFile(path);
      return;
    } catch (const SError& e) {
      // Without it the built-in alert and error texts serve.
      std::fprintf(stderr, "corvane: cannot read %s (%s)\n", path.c_str(), UError::IdText(e).c_str());
    }
  }
}

void CMyApplication::Start() {
  if (!rezFile_) OpenResourceFile();
  prefs_ = LoadClientPrefs(settings_.folder);
  views_.shell.ShowWindow(winToolbar);
  for (EMyWindow w : {winTasks, winNews, winChat, winOnlineUsers})
    if (prefs_.IsVisible(w)) views_.shell.ShowWindow(w);
  RestoreTitles();
  views_.toolbar.SetLook(EMyToolbarLook::Disconnected);
}

void CMyApplication::Quit() {
  Disconnect();
  try {
    SavePrefs();
  } catch (const SError& e) {
    Error(e);
  }
  CApplication::Quit();
}

void CMyApplication::SavePrefs() {
  for (EMyWindow w : kFixedWindows) {
    SMyRect rect;
    bool visible = false;
    // A window that was never made (a run without windows) keeps what was loaded.
    if (!views_.shell.GetWindowState(w, rect, visible)) continue;
    prefs_.rects[w] = rect;
    prefs_.SetVisible(w, visible);
  }
  SaveClientPrefs(settings_.folder, prefs_, random_);
}

// ---- Messages

void CMyApplication::OnMessage(void* context, void* object, Uint32 id, const void* data, Uint32 size) {
  auto* self = static_cast<CMyApplication*>(context);
  try {
    if (id == msg_Timer && object == self->cleanupTimer_.get()) {
      self->Cleanup();
    } else if ((id >= msg_DataArrived && id <= msg_ConnectionFailed) || id == msg_ProcessTasks) {
      self->ProcessTasks();
    } else {
      self->HandleMessage(object, id, data, size);
    }
  } catch (const SError& e) {
    self->Error(e);
  }
}

void CMyApplication::HandleMessage(void* object, Uint32 id, const void* data, Uint32 size) {
  if ((id >= msg_DataArrived && id <= msg_ConnectionFailed) || id == msg_ProcessTasks) {
    ProcessTasks();
    return;
  }
  if (id == msg_MenuCommand) {
    if (data && size >= sizeof(Uint32)) {
      Uint32 code;
      std::memcpy(&code, data, sizeof code);
      Command(code);
    }
    return;
  }
  CApplication::HandleMessage(object, id, data, size);
}

void CMyApplication::Timer(TTimer timer) {
  if (timer == cleanupTimer_.get()) Cleanup();
}

void CMyApplication::Error(const SError& error) {
  if (error.IsSilent()) return;
  if (error.errClass == errClassNetwork) {
    PlaySound(kSoundError, sndError);
    ShowAlert(kAlertNetworkError, UError::MessageText(error));
    return;
  }
  // The framework's report, through the shell so that every alert reaches one place.
  SMyAlert alert;
  alert.kind = SMyAlert::kindStop;
  alert.title = "ERROR";
  alert.text = UError::AlertText(error);
  alert.buttons = {"OK"};
  views_.shell.ShowAlert(alert);
}

// ---- Commands

void CMyApplication::AddCommandHandler(Uint32 command, std::function<void()> handler) {
  commands_[command] = std::move(handler);
}

void CMyApplication::RemoveCommandHandler(Uint32 command) { commands_.erase(command); }

void CMyApplication::Command(Uint32 command) {
  if (auto it = commands_.find(command); it != commands_.end() && it->second) {
    // A copy: the handler may remove itself.
    std::function<void()> handler = it->second;
    handler();
    return;
  }
  switch (command) {
    case cmdConnect:
      views_.shell.OpenConnect(SMyConnectForm{serverText_, login_, password_}, false);
      break;
    case cmdDisconnect:
      Disconnect();
      break;
    case cmdShowNews:
      views_.shell.ShowWindow(winNews);
      break;
    case cmdShowChat:
      views_.shell.ShowWindow(winChat);
      break;
    case cmdShowOnlineUsers:
      views_.shell.ShowWindow(winOnlineUsers);
      break;
    case cmdShowTasks:
      views_.shell.ShowWindow(winTasks);
      break;
    case cmdShowTracker:
      views_.shell.ShowWindow(winTracker);
      break;
    case cmdShowToolbar:
      views_.shell.ShowWindow(winToolbar);
      break;
    case cmdOptions:
      views_.shell.OpenOptions();
      break;
    case cmdAbout:
      views_.shell.OpenAbout(StatisticsText());
      break;
    case cmdQuit:
      QuitRequested();
      break;
    default:
      // Commands of services that are not there (files, accounts) do nothing.
      break;
  }
}

// ---- Tasks

void CMyApplication::Adopt(std::unique_ptr<CMyTask> task) {
  for (SEntry& e : tasks_) {
    if (e.task == task.get()) {
      e.owner = std::move(task);
      return;
    }
  }
}

Uint32 CMyApplication::RegisterTask(CMyTask& task, std::string_view title) {
  const Uint32 id = nextTaskId_++;
  if (nextTaskId_ == 0) nextTaskId_ = 1;
  tasks_.push_back(SEntry{id, &task, nullptr});
  if (closing_) return id;
  tasksWindow_.Add(id, title);
  RequestProcessing();
  return id;
}

void CMyApplication::UnregisterTask(CMyTask& task) {
  auto it = std::find_if(tasks_.begin(), tasks_.end(), [&](const SEntry& e) { return e.task == &task; });
  if (it == tasks_.end()) return;
  const Uint32 id = it->id;
  // The entry's owner is being destroyed (it is what runs this destructor): release it
  // so that erasing the entry does not delete the task a second time.
  (void)it->owner.release();
  tasks_.erase(it);
  if (closing_) return;
  tasksWindow_.Remove(id);
  RequestProcessing();
}

void CMyApplication::SetTaskProgress(CMyTask& task, Uint32 value, Uint32 maximum, std::string_view text) {
  if (!closing_) tasksWindow_.Update(task.Id(), value, maximum, text);
}

void CMyApplication::FinishTask(CMyTask& task) {
  if (closing_) return;
  tasksWindow_.Complete(task.Id());
  UTimer::Start(cleanupTimer_.get(), kCleanupDelayMs, false);
}

std::vector<CMyTask*> CMyApplication::Tasks() const {
  std::vector<CMyTask*> out;
  for (const SEntry& e : tasks_) out.push_back(e.task);
  return out;
}

CMyTask* CMyApplication::FindTask(Uint32 taskId) const {
  for (const SEntry& e : tasks_)
    if (e.id == taskId) return e.task;
  return nullptr;
}

void CMyApplication::DestroyTask(Uint32 taskId) {
  auto it = std::find_if(tasks_.begin(), tasks_.end(), [&](const SEntry& e) { return e.id == taskId; });
  if (it == tasks_.end()) return;
  if (it->owner) {
    // The destructor unregisters, which removes the entry.
    std::unique_ptr<CMyTask> owner = std::move(it->owner);
    owner.reset();
  } else {
    tasks_.erase(it);
    tasksWindow_.Remove(taskId);
  }
}

void CMyApplication::StopTask(Uint32 taskId) {
  CMyTask* task = FindTask(taskId);
  if (!task || task->IsFinished()) return;
  if (task->StopDisconnects())
    Disconnect();
  else
    DestroyTask(taskId);
}

void CMyApplication::StartTaskNow(Uint32 taskId) {
  CMyTask* task = FindTask(taskId);
  if (task && !task->IsFinished()) task->StartNow();
}

void CMyApplication::Cleanup() {
  std::vector<Uint32> done;
  for (const SEntry& e : tasks_)
    if (e.task->IsFinished()) done.push_back(e.id);
  for (Uint32 id : done) DestroyTask(id);
}

void CMyApplication::RequestProcessing() {
  if (closing_) return;
  UMessageSys::Replace(msg_ProcessTasks, nullptr, 0, 0, &CMyApplication::OnMessage, this);
}

void CMyApplication::TaskFailed(Uint32 taskId, const SError& error) {
  Error(error);
  CMyTask* task = FindTask(taskId);
  if (!task) return;
  // Without its connect or login the connection is of no use.
  if (task->StopDisconnects())
    Disconnect();
  else
    DestroyTask(taskId);
}

void CMyApplication::ProcessTasks() {
  if (processing_) {
    // A pass is running further up the stack (a modal loop inside it): run again later.
    RequestProcessing();
    return;
  }
  processing_ = true;
  struct SReset {
    bool& flag;
    ~SReset() { flag = false; }
  } reset{processing_};

  if (connected_ && connection_ && !UTransaction::IsConnected(connection_.get())) {
    // What arrived before the close is still read: a disconnect notice explains it.
    DispatchIncoming();
    if (connected_) {
      Disconnect();
      ShowAlert(kAlertConnectionLost);
    }
    return;
  }

  std::vector<Uint32> ids;
  for (const SEntry& e : tasks_)
    if (!e.task->IsFinished()) ids.push_back(e.id);
  for (Uint32 id : ids) {
    CMyTask* task = FindTask(id);
    if (!task || task->IsFinished()) continue;
    try {
      task->Process();
    } catch (const SError& e) {
      TaskFailed(id, e);
    }
  }
  DispatchIncoming();
}

// ---- Settings and statistics

void CMyApplication::UpdateOnlineSeconds() {
  if (!connected_) return;
  const Uint32 now = NowSeconds();
  if (now > connectTime_) prefs_.onlineSeconds += now - connectTime_;
  connectTime_ = now;
}

std::string CMyApplication::StatisticsText() {
  UpdateOnlineSeconds();
  const SCountedString downloaded = UText::ToCounted(UText::SizeText(prefs_.downloaded, 1));
  const SCountedString word = UText::ToCounted(DownloadFolderName() == "Leeched Goods" ? "leeched" : "downloaded");
  const SCountedString uploaded = UText::ToCounted(UText::SizeText(prefs_.uploaded, 1));
  const SCountedString chat = UText::ToCounted(UText::SizeText(prefs_.chatBytes, 2));
  const SCountedString online = UText::ToCounted(UText::SecondsText(prefs_.onlineSeconds));
  return UText::Fmt("%#s %#s, %#s uploaded, %#s chat, %#s online", downloaded.data(), word.data(), uploaded.data(),
                    chat.data(), online.data());
}

void CMyApplication::PlaySound(Int16 soundId, Uint32 soundFlag) {
  if (prefs_.SoundOn(soundFlag)) views_.shell.PlaySound(soundId);
}

// ---- The command line

bool ParseClientCommandLine(std::span<const std::string_view> args, SMyClientCommandLine& out, std::string& error) {
  SMyClientCommandLine result;
  bool haveLogin = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        error = std::string(a) + " needs a value";
        return false;
      }
      into = std::string(args[++i]);
      return true;
    };
    if (a == "--help" || a == "-h") {
      result.action = SMyClientCommandLine::Help;
    } else if (a == "--version") {
      result.action = SMyClientCommandLine::Version;
    } else if (a == "--dir") {
      if (!value(result.dir)) return false;
    } else if (a == "--server") {
      std::string server;
      if (!value(server)) return false;
      if (server.empty()) {
        error = "--server needs a host";
        return false;
      }
      result.server = std::move(server);
    } else if (a == "--login") {
      if (!value(result.login)) return false;
      haveLogin = true;
    } else if (a == "--password") {
      if (!value(result.password)) return false;
      haveLogin = true;
    } else if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + std::string(a);
      return false;
    } else {
      result.documents.emplace_back(a);
    }
  }
  if (haveLogin && !result.server) {
    error = "--login and --password need --server";
    return false;
  }
  out = std::move(result);
  return true;
}

std::string ClientUsageText() {
  return "usage: corvane [--dir DIR] [--server HOST[:PORT] [--login LOGIN] [--password PASSWORD]] [FILE...]\n"
         "  --dir DIR          folder of \"Corvane Prefs\" (default: the program's folder)\n"
         "  --server HOST      connect at start (\"0\" is this machine; default port 5500)\n"
         "  --login LOGIN      account for --server (blank: guest)\n"
         "  --password PASS    its password (visible to other users of this machine)\n"
         "  --help             this text\n"
         "  --version          the program's version\n"
         "  FILE               documents to open (bookmarks)\n";
}

SMyClientSettings SettingsFromCommandLine(const SMyClientCommandLine& commandLine) {
  SMyClientSettings s;
  s.folder = commandLine.dir.empty() ? ProgramFolder() : commandLine.dir;
  s.documents = commandLine.documents;
  return s;
}

std::string ProgramFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return exe.parent_path().string();
}

}  // namespace cv::client
