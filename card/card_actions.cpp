#include "card/card_actions.h"

#include <QWidget>

#include "card/acg_component.h"

TACGAction::TACGAction(QObject* owner) : QAction(owner) {
  connect(this, &QAction::triggered, this, [this] {
    if (target_ && HandlesTarget(target_)) ExecuteTarget(target_);
  });
}

bool TACGAction::HandlesTarget(QObject* target) const {
  auto* form = qobject_cast<QWidget*>(target);
  return form && !form->findChildren<TACGComponent*>(Qt::FindDirectChildrenOnly).isEmpty();
}

TACGComponent* TACGAction::GetComponent(QObject* target) {
  auto* form = qobject_cast<QWidget*>(target);
  if (!form) return nullptr;
  const QList<TACGComponent*> found = form->findChildren<TACGComponent*>(Qt::FindDirectChildrenOnly);
  TACGComponent* c = found.isEmpty() ? nullptr : found.last();
  Follow(c);
  return c;
}

void TACGAction::Follow(TACGComponent* component) {
  if (component == component_ && (component == nullptr || stateConnection_)) return;
  if (stateConnection_) disconnect(stateConnection_);
  component_ = component;
  if (component) stateConnection_ = connect(component, &TACGComponent::StateChanged, this, &TACGAction::update);
}

void TACGAction::setTarget(QWidget* target) {
  target_ = target;
  update();
}

void TACGAction::update() {
  if (target_ && HandlesTarget(target_)) UpdateTarget(target_);
}

TACGLogin::TACGLogin(QObject* owner) : TACGAction(owner) { setText(QStringLiteral("&Prijava na karticu")); }

void TACGLogin::UpdateTarget(QObject* target) {
  TACGComponent* c = GetComponent(target);
  setEnabled(!(c && c->Connected() && c->LoggedIn));
}

void TACGLogin::ExecuteTarget(QObject* target) {
  if (TACGComponent* c = GetComponent(target)) c->Login();
}
