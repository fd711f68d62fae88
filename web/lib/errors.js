// SPDX-License-Identifier: Apache-2.0
// The package's errors. Each carries `code`: the library's result name behind it
// ("connectionTimeout", "connectionInterrupted", "poweredOff", "sliceUploadFailed", ...).

export class OrvexError extends Error {
  constructor(message, code = undefined) {
    super(message);
    this.name = new.target.name;
    this.code = code;
  }
}

/** The adapter cannot be used (OrvexBluetoothError). */
export class BluetoothUnavailable extends OrvexError {}
/** No connection was made (OrvexConnectionError). */
export class ConnectionFailed extends OrvexError {}
/** The reader is not, or no longer, connected (OrvexDisconnectionCause). */
export class Disconnected extends OrvexError {}
/** A scan ended without a reading of a tag that carries a contact. */
export class ScanFailed extends OrvexError {}
/** A micro-app update did not end with "successful" (OrvexDeviceUpdateStatus). */
export class UpdateFailed extends OrvexError {}
/** An operation did not finish in time. */
export class TimeoutError extends OrvexError {}
/** This browser, or this page, has no Web Bluetooth (Firefox, Safari, an insecure origin). */
export class WebBluetoothUnavailable extends OrvexError {}
/** The user closed the browser's device chooser without picking a reader. */
export class ChooserCancelled extends OrvexError {}

/** The error a link-ending event means for whoever waits on the link. */
export function linkEndError(name, detail) {
  if (name === 'btError') {
    return new BluetoothUnavailable(`Bluetooth is not usable: ${detail}`, detail);
  }
  if (name === 'connectionFailed') {
    return new ConnectionFailed(`The connection to the reader failed: ${detail}`, detail);
  }
  return new Disconnected(
    detail ? `The reader disconnected: ${detail}` : 'The reader is not connected', detail);
}
