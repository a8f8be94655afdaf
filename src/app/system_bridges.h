#pragma once

#include <QPointer>
#include <QWidget>

#include "model/low_power_alert.h"
#include "model/model_service.h"
#include "model/test_activity.h"

namespace sorvanta {

// The Low Power confirmation as a modal message box over the main window.
class QtLowPowerAlert final : public LowPowerAlert {
  public:
    explicit QtLowPowerAlert(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    Choice ask(const Content& content) override;

  private:
    QPointer<QWidget> parent_;
};

// Holds a logind inhibitor (sleep and idle) while a test runs; without a system bus it
// holds nothing.
class LogindTestActivity final : public TestActivity {
  public:
    ~LogindTestActivity() override { end(); }
    void begin(std::string_view reason) override;
    void end() override;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// The service the program uses while it has no network service to run: it publishes that it
// is looking for an Ethernet link and never finds one.
class OfflineService final : public ModelService {
  public:
    void start(Publish publish) override;
    void stop() override;
    void searchAgain() override { publish(); }
    void selectInterface(int) override { publish(); }
    void startQuickTest(QuickProfile) override { publish(); }
    void stopQuickTest() override { publish(); }
    const Uuid& localID() const override { return id_; }

  private:
    void publish();
    Uuid id_ = Uuid::random();
    Publish publish_;
    ServiceSnapshot snapshot_;
};

}  // namespace sorvanta
