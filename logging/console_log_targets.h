// File: logging/console_log_targets.h
//
// The three built-in targets that render each record with their line format (see
// logging/log_format.h) into a 4096-character buffer and write the text: to the standard
// error stream, to the standard output stream, or to an attached debugger's output window.
// The log manager creates one of each with itself and owns them; see logging/log_manager.h
// for their defaults. Output errors are ignored: a write always reports success.
#pragma once

#include <cstdint>

#include "logging/log_target.h"

namespace mox {

class BaseConsoleLogTarget : public LogTarget {
  public:
    const char* name() const override;
    // Renders the record, then writes the text holding the target's lock. Returns true.
    bool writeRecord(const LogRecord& record) override;

  protected:
    BaseConsoleLogTarget() = default;
    // Writes one rendered, NUL-terminated line. Called with the target's lock held.
    virtual void writeText(const char* text) = 0;
};

class StdErrLogTarget final : public BaseConsoleLogTarget {
  public:
    StdErrLogTarget() = default;
    ~StdErrLogTarget() override;
    const char* name() const override;
    void flush() override;

  protected:
    void writeText(const char* text) override;
};

class StdOutLogTarget final : public BaseConsoleLogTarget {
  public:
    StdOutLogTarget() = default;
    ~StdOutLogTarget() override;
    const char* name() const override;
    void flush() override;

    // 1: flush the standard output stream after every line; 0 (the default): leave it to the
    // stream's buffering.
    void setFlushMode(std::uint32_t mode);
    std::uint32_t flushMode() const;

  protected:
    void writeText(const char* text) override;

  private:
    std::uint32_t flushMode_ = 0;  // guarded by the target's lock
};

class DebuggerConsoleLogTarget final : public BaseConsoleLogTarget {
  public:
    DebuggerConsoleLogTarget() = default;
    ~DebuggerConsoleLogTarget() override;
    const char* name() const override;

  protected:
    void writeText(const char* text) override;
};

}  // namespace mox
