#pragma once
// Actions that drive the card component of the window they run on. TACGAction
// finds its target's component; TACGLogin logs the user in on it.
//
// Use: create the action with the window as owner, setTarget(window) and put it
// where commands are kept. The enabled state follows the component's StateChanged.
#include <QAction>
#include <QMetaObject>
#include <QPointer>

class QWidget;
class TACGComponent;

class TACGAction : public QAction {
  Q_OBJECT
 public:
  explicit TACGAction(QObject* owner = nullptr);

  // True when target is a window that owns at least one card component.
  virtual bool HandlesTarget(QObject* target) const;
  // The last card component the target owns (creation order), or nullptr.
  TACGComponent* GetComponent(QObject* target);
  virtual void UpdateTarget(QObject* target) {}
  virtual void ExecuteTarget(QObject* target) {}

  // The window the action works on. Triggering runs ExecuteTarget on it, and the
  // enabled state is recomputed whenever its component's state changes.
  void setTarget(QWidget* target);
  QWidget* target() const { return target_; }
  // The component last found; cleared when that component is destroyed.
  TACGComponent* component() const { return component_; }

  // Runs UpdateTarget when the target is handled.
  void update();

 private:
  void Follow(TACGComponent* component);

  QPointer<QWidget> target_;
  QPointer<TACGComponent> component_;
  QMetaObject::Connection stateConnection_;
};

class TACGLogin : public TACGAction {
  Q_OBJECT
 public:
  explicit TACGLogin(QObject* owner = nullptr);
  // Enabled unless the component is connected and logged in.
  void UpdateTarget(QObject* target) override;
  // The component's Login.
  void ExecuteTarget(QObject* target) override;
};
