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
  /** The host answered with an error: see `reason`, `description` and `action`. */
  HostError: "HostError";
  /** No connection, or no answer of the host, in time; the connection is closed. */
  Timeout: "Timeout";
  /** The call's arguments are wrong; nothing was sent. */
  BadArgument: "BadArgument";
  /**
   * The call's `signal` aborted it: before it reached the host (nothing was sent), or while the
   * host worked on it (the connection is then closed, as the host cannot cancel a request).
   */
  Aborted: "Aborted";
}>;
export type ErrorCodeName = (typeof ErrorCode)[keyof typeof ErrorCode];

/** Why the host failed a call: the `reason` of a HostError. */
export declare const ErrorReason: Readonly<{
  /** The PIN is wrong. */
  WrongPin: "WrongPin";
  /** The PIN is locked after too many wrong ones. */
  PinLocked: "PinLocked";
  /** The key needs a PIN, none was given and the system could not ask the person for it. */
  PinRequired: "PinRequired";
  /** The person cancelled the system's PIN question, or did not answer it in time. */
  Cancelled: "Cancelled";
  /** No such key container, or no key in it. */
  NoKey: "NoKey";
  /** The key has no certificate there (in the container, or in the "MY" store). */
  NoCertificate: "NoCertificate";
  /** The provider is not one the host knows, or it is not installed. */
  NoProvider: "NoProvider";
  /** The file to sign (`path`) cannot be opened or read. */
  FileUnreadable: "FileUnreadable";
  /** The host refused the request itself: a member missing or wrong. */
  BadRequest: "BadRequest";
  /** Anything else: see `description`. */
  Other: "Other";
}>;
export type ErrorReasonName = (typeof ErrorReason)[keyof typeof ErrorReason];

/** The largest message, in bytes of JSON, that a browser hands to the host (64 MiB). */
export declare const MAX_MESSAGE_BYTES: number;
export declare const HOST_ACTIONS: readonly HostAction[];
export declare const CHANNEL: "keltoDataSigned";

export type HostAction =
  | "openCryptoProvider" | "closeCryptoProvider" | "getListContainer" | "getCertificate" | "getSignature";

export declare class DataSignedError extends Error {
  constructor(code: ErrorCodeName, message: string,
              details?: { action?: HostAction; reason?: ErrorReasonName; description?: string;
                          reply?: HostErrorReply; cause?: unknown });
  readonly name: "DataSignedError";
  readonly code: ErrorCodeName;
  /** The action of the failed call, when there was one. */
  action?: HostAction;
  /** HostError: why, from the host's code or words. */
  reason?: ErrorReasonName;
  /** HostError: the host's own `description`, without the line break that ends it. */
  description?: string;
  /** HostError: the host's whole reply, without the PIN (`password`) it echoes. */
  reply?: HostErrorReply;
}

/** Data to sign: text (signed as its UTF-8 bytes), bytes, or a Blob/File. */
export type SignData = string | ArrayBuffer | ArrayBufferView | Blob;

/** Where a certificate is read: the key container, or the user's "MY" store. */
export type CertificateSource = "container" | "store";

/**
 * The hash a signature is over. Raw signatures: the provider's hash (SHA-1 for "Microsoft
 * Strong Cryptographic Provider", GOST R 34.11-94 for GOST R 34.10-2001, Streebog-256 and -512
 * for GOST R 34.10-2012 and its Strong variant). PKCS#7: the digest the message names, which
 * follows the certificate's signature algorithm. null: one this library does not name.
 */
export type HashAlgorithm =
  | "SHA-1" | "SHA-224" | "SHA-256" | "SHA-384" | "SHA-512" | "GOST R 34.11-94" | "Streebog-256" | "Streebog-512";

export interface Bytes {
  /** The DER certificate or the signature, as bytes. */
  bytes: Uint8Array;
  /** The same, as Base64 text. */
  base64: string;
}

export interface Signature extends Bytes {
  format: "pkcs7" | "raw";
  hashAlgorithm: HashAlgorithm | null;
}

export interface NameAttribute {
  oid: string;
  /** A short name such as "CN", "O", "emailAddress"; the OID where there is none. */
  type: string;
  value: string;
}

export type KeyUsage =
  | "digitalSignature" | "nonRepudiation" | "keyEncipherment" | "dataEncipherment" | "keyAgreement"
  | "keyCertSign" | "cRLSign" | "encipherOnly" | "decipherOnly";

/** A certificate's fields, as readCertificate() reads them. */
export interface Certificate extends Bytes {
  /** "CN=Name, O=Org", in the order the certificate lists them. */
  subject: string;
  subjectAttributes: NameAttribute[];
  issuer: string;
  issuerAttributes: NameAttribute[];
  /** Upper-case hex, as `openssl x509 -serial` prints it. */
  serialNumber: string;
  notBefore: Date;
  notAfter: Date;
  /** Whether the moment it was read lies within notBefore..notAfter. */
  valid: boolean;
  /** e.g. { name: "RSA", bits: 2048 } or { name: "GOST R 34.10-2012", bits: 256 }; bits null where unknown. */
  keyAlgorithm: { oid: string; name: string; bits: number | null };
  /** What the key may be used for; null: the certificate does not limit it. */
  keyUsage: KeyUsage[] | null;
  /** SHA-1 and SHA-256 of the DER bytes, upper-case hex. */
  thumbprints: { sha1: string; sha256: string };
}

/** One key container of listCertificates(): its certificate, or why it could not be read. */
export type CertificateEntry = { providerName: string; containerName: string } & (
  | { certificate: Certificate; error: null }
  | { certificate: null; error: DataSignedError });

export interface CallOptions {
  /** Aborts the call: see ErrorCode.Aborted. */
  signal?: AbortSignal;
}

export interface KeyOptions extends CallOptions {
  /** A provider name the host knows, e.g. "Microsoft Strong Cryptographic Provider". */
  providerName: string;
  /** The key container; empty or missing: the provider's default container. */
  containerName?: string;
  /**
   * The container's PIN. Leave it out: where the key needs one, the system asks the person
   * itself (the provider's dialog on Windows, a pinentry on Linux).
   */
  pin?: string;
}

interface SignatureFormat extends CallOptions {
  /** "pkcs7" (default): a detached PKCS#7 message with the certificate; "raw": the bare signature. */
  format?: "pkcs7" | "raw";
  /** PKCS#7 only: where the signer's certificate comes from (default "container"). */
  source?: CertificateSource;
  /** Where the host stages `data` on disk (default: its own private folder). */
  workingDirectory?: string;
  /** Told how much of `data` has been handed on towards the host. */
  onProgress?: (progress: { loaded: number; total: number }) => void;
}

/** What to sign: `data` sent to the host (at most about 47 MiB), or a file on the person's machine. */
export type SignatureOptions = SignatureFormat & ({ data: SignData; path?: never } | { path: string; data?: never });

/** A request's data object, as the host reads it. */
export interface HostRequestData {
  requestAction: HostAction;
  [member: string]: unknown;
}

/** The data object of a successful reply: the request's members echoed (all but contentFile and password) plus the outputs. */
export interface HostReplyData {
  result: "success";
  [member: string]: unknown;
}

/** The host's reply to a failed call. */
export interface HostErrorReply {
  contentId?: string;
  data: { result: "error"; description?: string; [member: string]: unknown };
}

/** A session with one key container; ends with close() or with its connection. */
export declare class Session {
  private constructor();
  readonly handle: number;
  readonly providerName: string;
  readonly containerName: string;
  /** False once the session is closed or its connection is lost. */
  readonly usable: boolean;
  getCertificate(options?: CallOptions & { source?: CertificateSource }): Promise<Bytes>;
  sign(options: SignatureOptions): Promise<Signature>;
  /** Resolves at once when the session is already closed or its connection is gone. */
  close(): Promise<void>;
}

/** One connection to the host (one host process). Calls are answered in the order they are made. */
export declare class Signer {
  private constructor();
  /** False once the connection has ended; every call then fails. */
  readonly connected: boolean;
  /** Resolves, with the reason, when the connection ends. */
  readonly closed: Promise<DataSignedError>;
  listContainers(providerName: string, options?: CallOptions): Promise<string[]>;
  /**
   * Every key container's certificate, read without a PIN, for the given providers or every
   * provider the host knows; providers not installed here are left out.
   */
  listCertificates(options?: CallOptions & { providers?: readonly string[] }): Promise<CertificateEntry[]>;
  openSession(options: KeyOptions): Promise<Session>;
  getCertificate(options: KeyOptions & { source?: CertificateSource }): Promise<Bytes>;
  /** Signs in a session of its own, opened and closed for this one call. */
  sign(options: KeyOptions & SignatureOptions): Promise<Signature>;
  /** Sends a request's data object as it stands; a failure rejects (HostError, with the reply). */
  send(data: HostRequestData, options?: CallOptions): Promise<HostReplyData>;
  /** Ends the connection; the host process ends with it. Nothing happens once it has ended. */
  close(): void;
}

export interface ConnectOptions extends CallOptions {
  /**
   * The longest wait, in ms, for the connection (the person's answer whether this site may use
   * the keys included) and then for each answer of the host; 0: no limit. Default 5 minutes.
   */
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

/** Reads a DER certificate's fields; rejects with BadArgument on anything that is not a well-formed certificate. */
export declare function readCertificate(der: Uint8Array | ArrayBuffer, options?: { now?: Date }): Promise<Certificate>;

export declare function toBase64(data: SignData): Promise<string>;
export declare function fromBase64(text: string): Uint8Array;
