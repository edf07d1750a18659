#pragma once

// How a device answered a serial number write: it took the number, it answered
// otherwise (a refusal), or no answer came at all (nor to the read of the
// record that goes before the write), after every retry.
// (A reply not known is no answer: the value-initialised one.)
enum class WriteReply { Unanswered, Refused, Accepted };
