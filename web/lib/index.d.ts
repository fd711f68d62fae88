// SPDX-License-Identifier: Apache-2.0
/**
 * The reader SDK for JavaScript and TypeScript: the C++ library compiled to WebAssembly,
 * talking to a reader through Web Bluetooth, or to a simulated reader in the page or in Node.
 */

/** An owner contact as stored on a tag: the texts padded to the record's fixed widths. */
export interface ContactInfo {
  /** Telephone text: an optional "+" then 12 digits or spaces. */
  phone: string;
  /** E-mail text: 25 characters, upper case, padded with spaces. */
  email: string;
}

/** One tag reading. */
export interface Reading {
  /** The tag's identifier, "999 000000012345". */
  id: string;
  /** The transponder type's raw value (4 is FDX-B, the only type with a contact). */
  type: number;
  /** The transponder type's name ("FDXB", "HDX", ...). */
  typeName: string;
  /** When the reading was made, in seconds since the Unix epoch (the platform's clock). */
  date: number;
  /** The owner contact read from the tag, if any. */
  contact: ContactInfo | null;
}

/** One stored reading sent by the reader's export. */
export interface ExportedReading {
  /** The record number the reader gave it. */
  number: number;
  /** The reading, or null when the record could not be decoded. */
  reading: Reading | null;
}

/** The outcome of a contact write. */
export interface ContactWrite {
  /** Whether the contact was written. */
  ok: boolean;
  /** The library's contact status name: "success", "contactReadTimeout", "writeOperationFailed", "wrongChip" or "protocolError". */
  status: 'success' | 'contactReadTimeout' | 'writeOperationFailed' | 'wrongChip' | 'protocolError';
}

/** A tag a simulated reader knows. */
export interface SimTag {
  /** Transponder type's raw value (default 4, FDX-B). */
  type?: number;
  /** Country code, 0 to 999 (default 999). */
  country?: number;
  /** National number (default 12345). */
  nationalNumber?: number;
  /** The owner contact stored on the tag; null for none. */
  contact?: { phone: string; email: string } | null;
  /** Whether a contact write is accepted (default true). */
  writable?: boolean;
}

/** The make-up of a simulated reader; what is left out keeps the simulator's default. */
export interface SimOptions {
  /** Advertised name (default "KX-BT4 SIM"). */
  name?: string;
  /** Version text answered (default "KESTRALON KX100 MOBILE 2.4.1"). */
  version?: string;
  /** Raw battery byte; 134 is full (default 120). */
  batteryRaw?: number;
  /** Whether the micro app is current (default true); false makes the reader ask for one. */
  microAppCurrent?: boolean;
  /** Seconds between a command and its answer (default 0.05). */
  answerDelay?: number;
  /** Largest notification in bytes (default 20). */
  notificationSize?: number;
  /** The tags the reader knows (default: one FDX-B tag with a contact). */
  tags?: SimTag[];
  /** Index into `tags` of the tag in the field; null for an empty field (default 0). */
  tagInField?: number | null;
  /** The readings an export sends (default: three readings). */
  storedReadings?: SimTag[];
}

/** Options of Reader.connect(). */
export interface ConnectOptions {
  /** A simulated reader: true for the default one, or its make-up. */
  sim: true | SimOptions;
  /** Seconds each step of the connection may take (default 30). */
  timeout?: number;
}

/** The controls of a simulated reader. */
export interface SimControls {
  /** A reading on the reader's own trigger. */
  triggerReading(): void;
  /** Puts tag `index` of the make-up into the field; null empties it. */
  setTagInField(index: number | null): void;
  /** The reader drops the connection (a reader switched off or out of range). */
  dropConnection(): void;
}

/** The detail of the "disconnect" event: the library's disconnection cause name. */
export interface DisconnectDetail {
  cause: 'bluetoothStatusChanged' | 'connectionInterrupted' | string;
}

/** Events of a Reader. */
export interface ReaderEventMap {
  /** The reader went away (not sent for disconnect() or close()). */
  disconnect: CustomEvent<DisconnectDetail>;
  /** A new battery level, in percent. */
  battery: CustomEvent<number>;
  /** A reading, with its contact. */
  reading: CustomEvent<Reading>;
}

/** One session with a connected reader. */
export class Reader extends EventTarget {
  private constructor();
  /** Opens the browser's reader chooser and connects; call it from a user gesture. */
  static request(options?: { timeout?: number }): Promise<Reader>;
  /** Connects without a prompt to a reader granted before (getDevices); null when none. */
  static reconnect(options?: { timeout?: number }): Promise<Reader | null>;
  /** Connects to a simulated reader. */
  static connect(options: ConnectOptions): Promise<Reader>;

  /** The reader's version text. */
  readonly version: string | null;
  /** The latest battery level, in percent. */
  readonly battery: number | null;
  /** Whether the reader is connected. */
  readonly isConnected: boolean;
  /** The Web Bluetooth device of a real reader; null for a simulated one. */
  readonly device: unknown;
  /** The simulated reader's controls; null for a real reader. */
  readonly sim: SimControls | null;

  /** Reads the tag in the field with its contact; ScanFailed when none is read. */
  scan(options?: { timeout?: number }): Promise<Reading>;
  /** Writes a contact to the tag `tag` ("999 000000012345") in the field. */
  writeContact(contact: { tag: string; phone: string; email: string; timeout?: number }): Promise<ContactWrite>;
  /** Every reading the reader reports, until the loop is left. */
  readings(): AsyncGenerator<Reading, void, undefined>;
  /** The readings stored on the reader, as its export sends them. */
  exportRecords(options?: { quiet?: number; timeout?: number }): AsyncGenerator<ExportedReading, void, undefined>;
  /**
   * Installs a micro-app image: reconnects, and uploads it when the reader asks for it;
   * `onProgress(sent, slices)` gets the slices sent so far, from 0 to all of them.
   * Resolves with "successful", or "current" when the reader asked for nothing.
   */
  updateMicroApp(image: Uint8Array, onProgress?: (slice: number, slices: number) => void,
    options?: { timeout?: number }): Promise<'successful' | 'current'>;
  /** Disconnects, waiting a few seconds at most for the reader to confirm. */
  disconnect(): Promise<void>;
  /** Disconnects and lets go of the session. */
  close(): Promise<void>;

  addEventListener<K extends keyof ReaderEventMap>(type: K,
    listener: (event: ReaderEventMap[K]) => void, options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | AddEventListenerOptions): void;
}

/** The 24-byte contact record, as the library encodes and decodes it. */
export declare const Contact: {
  /** The record of a telephone text and an e-mail text (never fails; see ContactInfo). */
  encode(phone: string, email: string): Uint8Array;
  /** The contact in a record; null when it is short or fails its checksum. */
  decode(record: Uint8Array | ArrayLike<number>): ContactInfo | null;
};

/** The library's version. */
export declare const libraryVersion: string;
/** Whether an advertised name is a reader's, as the library matches it. */
export declare function isReaderName(name: string): boolean;

/** The base of the package's errors; `code` is the library's result name behind it. */
export class OrvexError extends Error {
  constructor(message: string, code?: string);
  readonly code: string | undefined;
}
/** Bluetooth cannot be used (code: an OrvexBluetoothError name). */
export class BluetoothUnavailable extends OrvexError {}
/** No connection was made (code: an OrvexConnectionError name). */
export class ConnectionFailed extends OrvexError {}
/** The reader is not, or no longer, connected (code: an OrvexDisconnectionCause name). */
export class Disconnected extends OrvexError {}
/** A scan read no tag with a contact. */
export class ScanFailed extends OrvexError {}
/** A micro-app update failed (code: an OrvexDeviceUpdateStatus name). */
export class UpdateFailed extends OrvexError {}
/** No answer in time. */
export class TimeoutError extends OrvexError {}
/** No Web Bluetooth here (code: "unsupported", "insecureOrigin" or "noUserGesture"). */
export class WebBluetoothUnavailable extends OrvexError {}
/** The user closed the chooser without picking a reader. */
export class ChooserCancelled extends OrvexError {}
