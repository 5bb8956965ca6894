// SPDX-License-Identifier: MIT
// A combo box bound to one model property through a fixed list of choices.
#pragma once

#include <QComboBox>
#include <QObject>
#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace kestrel {

template <typename T>
struct Choice {
  T value;
  QString label;
};

// Fills `box` with the choices and keeps it and the property in step: a
// pick calls `set`, a change of the property (`changed`) moves the pick. A
// value outside the list (a worker count the list lacks, say) is shown as
// one more entry labelled by `otherLabel`.
template <typename T, typename Model, typename Signal>
void bindChoices(QComboBox* box, std::vector<Choice<T>> choices, Model* model,
                 std::function<T()> get, std::function<void(T)> set, Signal changed,
                 std::function<QString(T)> otherLabel) {
  auto values = std::make_shared<std::vector<T>>();
  for (const Choice<T>& choice : choices) {
    box->addItem(choice.label);
    values->push_back(choice.value);
  }
  const auto show = [box, values, get, otherLabel] {
    const T current = get();
    auto found = std::find(values->begin(), values->end(), current);
    if (found == values->end()) {
      box->addItem(otherLabel(current));
      values->push_back(current);
      found = values->end() - 1;
    }
    const int index = static_cast<int>(found - values->begin());
    if (box->currentIndex() != index) box->setCurrentIndex(index);
  };
  show();
  QObject::connect(box, &QComboBox::currentIndexChanged, model, [values, set](int index) {
    if (index >= 0 && index < static_cast<int>(values->size())) set((*values)[index]);
  });
  QObject::connect(model, changed, box, show);
}

}  // namespace kestrel
