// Type declarations of the keltoDataSigned page library (keltoDataSigned.js).

/** Why a call failed: the `code` of every DataSignedError. */
export declare const ErrorCode: Readonly<{
  /**
   * The extension is not there for this page: not installed or switched off, or the page is
   * not https/localhost, is a frame, or is a sandboxed document (opaque origin).
   */
  ExtensionMissing: "ExtensionMissing";
  /** The host program is not registered with this browser (or not for this extension). */
  HostMissing: "HostMissing";
  /** The person, or a policy, did not allow this origin; or the permission was withdrawn. */
  AccessDenied: "AccessDenied";
  /** The connection to the host was lost, or closed; open a new one with connect(). */
  HostDisconnected: "HostDisconnected";
  /** The request is larger than a browser passes to the host (the limit is in the message). */
  ContentTooLarge: "ContentTooLarge";
  /** The host answered with an error: see `description` and `action`. */
  HostError: "HostError";
  /** The host did not answer in time; the connection is closed. */
  Timeout: "Timeout";
  /** The call's arguments are wrong; nothing was sent. */
  BadArgument: "BadArgument";
}>;
export type ErrorCodeName = (typeof ErrorCode)[keyof typeof ErrorCode];

/** The largest message, in bytes of JSON, that a browser hands to the host (64 MiB). */
export declare const MAX_MESSAGE_BYTES: number;
export declare const HOST_ACTIONS: readonly HostAction[];
export declare const CHANNEL: "keltoDataSigned";

export type HostAction =
  | "openCryptoProvider" | "closeCryptoProvider" | "getListContainer" | "getCertificate" | "getSignature";

export declare class DataSignedError extends Error {
  constructor(code: ErrorCodeName, message: string,
              details?: { action?: HostAction; description?: string; reply?: HostReply });
  readonly name: "DataSignedError";
  readonly code: ErrorCodeName;
  /** The action of the failed call, when there was one. */
  action?: HostAction;
  /** HostError: the host's own `description`. */
  description?: string;
  /** HostError: the host's whole reply, without the PIN (`password`) it echoes. */
  reply?: HostReply;
}

/** Data to sign: text (signed as its UTF-8 bytes), bytes, or a Blob/File. */
export type SignData = string | ArrayBuffer | ArrayBufferView | Blob;

/** Where a certificate is read: the key container, or the user's "MY" store. */
export type CertificateSource = "container" | "store";

export interface Bytes {
  /** The DER certificate or the signature, as bytes. */
  bytes: Uint8Array;
  /** The same, as Base64 text. */
  base64: string;
}

export interface KeyOptions {
  /** A provider name the host knows, e.g. "Microsoft Strong Cryptographic Provider". */
  providerName: string;
  /** The key container; empty or missing: the provider's default container. */
  containerName?: string;
  /** The container's PIN; missing: none. */
  pin?: string;
}

export interface SignatureOptions {
  /** What to sign, sent to the host as content; or give `path`. At most about 47 MiB. */
  data?: SignData;
  /** A file on the user's machine to sign instead of `data`. */
  path?: string;
  /** "pkcs7" (default): a detached PKCS#7 message with the certificate; "raw": the bare signature. */
  format?: "pkcs7" | "raw";
  /** PKCS#7 only: where the signer's certificate comes from (default "container"). */
  source?: CertificateSource;
  /** Where the host stages `data` on disk (default: its own private folder). */
  workingDirectory?: string;
}

/** A request's data object, as the host reads it. */
export interface HostRequestData {
  requestAction: HostAction;
  [member: string]: unknown;
}

/** The host's reply: the request's members echoed (all but contentFile) plus the outcome. */
export interface HostReply {
  contentId?: string;
  data: { result: "success" | "error"; description?: string; [member: string]: unknown };
}

/** A session with one key container; ends with close() or with its connection. */
export declare class Session {
  private constructor();
  readonly handle: number;
  readonly providerName: string;
  readonly containerName: string;
  /** False once the session is closed or its connection is lost. */
  readonly usable: boolean;
  getCertificate(options?: { source?: CertificateSource }): Promise<Bytes>;
  sign(options: SignatureOptions): Promise<Bytes>;
  close(): Promise<void>;
}

/** One connection to the host (one host process). Calls are answered in the order they are made. */
export declare class Signer {
  private constructor();
  /** False once the connection has ended; every call then fails. */
  readonly connected: boolean;
  /** Resolves, with the reason, when the connection ends. */
  readonly closed: Promise<DataSignedError>;
  listContainers(providerName: string): Promise<string[]>;
  openSession(options: KeyOptions): Promise<Session>;
  getCertificate(options: KeyOptions & { source?: CertificateSource }): Promise<Bytes>;
  /** Signs in a session of its own, opened and closed for this one call. */
  sign(options: KeyOptions & SignatureOptions): Promise<Bytes>;
  /** Sends a request's data object as it stands; resolves with the reply's data object, without `password`. */
  send(data: HostRequestData): Promise<HostReply["data"]>;
  /** Ends the connection; the host process ends with it. */
  close(): void;
}

export interface ConnectOptions {
  /** The longest wait for one answer of the host, in ms; 0: no limit. Default 5 minutes. */
  timeout?: number;
  /** How long to wait for the extension to answer before ExtensionMissing, in ms. Default 1000. */
  extensionTimeout?: number;
  /** The window to talk through (default: the page's). */
  window?: Window;
}

/**
 * Connects to the host through the extension. The first time an origin
 * connects, the extension asks the person whether to allow it; the promise
 * waits for that answer.
 */
export declare function connect(options?: ConnectOptions): Promise<Signer>;

export declare function toBase64(data: SignData): Promise<string>;
export declare function fromBase64(text: string): Uint8Array;
