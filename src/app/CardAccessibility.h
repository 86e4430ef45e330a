#pragma once

namespace zimlo::app {

// Lets assistive technologies see the gallery's and the picker's cards as what they are: a draft
// card is a button (its name says the date and the duration) that opens the draft; a source card
// is one of a group of radio buttons, checked while selected. Safe to call more than once.
void installCardAccessibility();

}  // namespace zimlo::app
