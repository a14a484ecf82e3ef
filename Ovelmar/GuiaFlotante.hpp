#pragma once
// The floating guide panel's controller. It owns at most one panel.

namespace ovelmar {

class GuiaFlotante {
 public:
  bool hayPanel() const { return panel_; }

 private:
  bool panel_ = false;
};

}  // namespace ovelmar
