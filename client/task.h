// Tasks: every operation of the client that waits for something (a server reply, the
// connect, a transfer) is a task in the application's list, with one row in the tasks
// window, advanced by Process on each processing pass until it calls Finish. The
// application destroys finished tasks 500 ms after the last finish. Tasks that wait for
// one reply derive from CMyTransactTask.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "client/views.h"
#include "framework/types.h"
#include "protocol/fields.h"
#include "protocol/transaction.h"

namespace cv::client {

class CMyApplication;

class CMyTask {
 public:
  // Registers: appended to the task list with a row "title", progress 0 of 0, and a
  // processing pass is asked for.
  CMyTask(CMyApplication& app, std::string_view title);
  CMyTask(const CMyTask&) = delete;
  CMyTask& operator=(const CMyTask&) = delete;
  // Unregisters: leaves the list and the tasks window; asks for a processing pass.
  virtual ~CMyTask();

  // Advances the task; may raise, which ends the task (the login task also ends the
  // connection).
  virtual void Process() {}
  // The stop button on a connect or login task disconnects instead of destroying it.
  virtual bool StopDisconnects() const { return false; }
  // The start-now button: a queued transfer starts at once; others do nothing.
  virtual void StartNow() {}

  bool IsFinished() const { return finished_; }
  bool IsIndependent() const { return independent_; }
  // Survives a disconnect (the tracker listing).
  void SetIndependent() { independent_ = true; }
  // Unique for the program's run; the tasks window's row key.
  Uint32 Id() const { return id_; }

  Uint16 step = 1;

 protected:
  CMyApplication& App() { return app_; }
  // Updates the row; a non-empty text replaces the row's text.
  void SetProgress(Uint32 value, Uint32 maximum, std::string_view text = {});
  // Sets the finished flag; the row shows complete and the cleanup timer restarts.
  void Finish();

 private:
  CMyApplication& app_;
  Uint32 id_ = 0;
  bool finished_ = false;
  bool independent_ = false;
};

class CMyTransactTask : public CMyTask {
 public:
  ~CMyTransactTask() override;

 protected:
  // Builds the request on the app's connection and sends it (timeoutMs 0: the
  // connection's default). Raises (8, 100) without a connection.
  CMyTransactTask(CMyApplication& app, std::string_view title, Uint16 type, UFieldData request, Uint32 timeoutMs = 0);
  // Shows reply progress (bytes received of expected when showBytes) and returns false
  // while the reply is incomplete; once complete moves the reply into Fields(), disposes
  // of the transaction, runs the common reply check (raises on a non-zero error code)
  // and returns true. Raises the time-out error of a reply that did not come.
  bool ReplyArrived(bool showBytes = true);
  UFieldData& Fields() { return fields_; }
  Uint32 ErrorCode() const { return errorCode_; }

 private:
  UFieldData fields_;
  TransactionPtr transaction_;
  Uint32 errorCode_ = 0;
};

// "Connecting to Server...": the transport connect and the handshake, three steps.
class CMyConnectTask : public CMyTask {
 public:
  // Replaces the application's connection with a fresh one (CRVN, sub-version 2).
  explicit CMyConnectTask(CMyApplication& app);
  void Process() override;
  bool StopDisconnects() const override { return true; }
};

// "Logging in...": login and password complemented, the name and icon; two steps.
class CMyLoginTask : public CMyTransactTask {
 public:
  CMyLoginTask(CMyApplication& app, std::string_view login, std::string_view password);
  void Process() override;
  bool StopDisconnects() const override { return true; }
};

// Every byte replaced by its complement (255 - byte): how logins and passwords travel.
std::string ComplementText(std::string_view text);

// The tasks window's logic: the rows it shows and its two buttons. Rows are redrawn only
// when something changed.
class CMyTasksWindow {
 public:
  explicit CMyTasksWindow(IMyTasksView& view) : view_(view) {}
  void Add(Uint32 taskId, std::string_view title);
  void Update(Uint32 taskId, Uint32 value, Uint32 maximum, std::string_view text);
  // value = maximum = 100 when value < maximum or maximum is 0.
  void Complete(Uint32 taskId);
  void Remove(Uint32 taskId);
  const SMyTaskRow* Row(Uint32 taskId) const;
  IMyTasksView& View() { return view_; }

 private:
  IMyTasksView& view_;
  std::map<Uint32, SMyTaskRow> rows_;
};

}  // namespace cv::client
