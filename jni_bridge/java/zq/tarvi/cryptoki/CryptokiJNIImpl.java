package zq.tarvi.cryptoki;

/**
 * Native PKCS#11 calls through libNetsentryDll.so (library version 7).
 *
 * <p>Structures travel as byte arrays in the native layout of the platform's
 * PKCS#11 ABI (on 64-bit Linux: CK_ULONG, handles and pointers 8 bytes,
 * little-endian, natural alignment; CK_ATTRIBUTE and CK_MECHANISM 24 bytes).
 * Pointers inside them are addresses from {@link #jni_AllocMem}, which always
 * fit an int (zero-extended into the 8-byte field). int values are unsigned
 * longs on the native side; int arrays are output cells.
 *
 * <p>Every jni_C_ method returns the module's CK_RV unchanged, or the bridge's
 * own refusal: CKR_ARGUMENTS_BAD (7) for a length beyond its array or a
 * structure shorter than its native size, CKR_HOST_MEMORY (2) when an array
 * cannot be pinned, CKR_CRYPTOKI_NOT_INITIALIZED (0x190) before
 * {@link #jni_LoadPKCS}, CKR_FUNCTION_NOT_SUPPORTED (0x54) for a function the
 * module lacks.
 */
public final class CryptokiJNIImpl {
    static {
        System.loadLibrary("NetsentryDll");
    }

    private CryptokiJNIImpl() {
    }

    public static native int jni_GetLibVersion();
    public static native int jni_LoadPKCS(byte[] moduleName);
    public static native int jni_AllocMem(int size);
    public static native void jni_SetMem(int address, byte[] source, int offset, int size);
    public static native void jni_GetMem(int address, byte[] destination, int offset, int length);
    public static native void jni_FreeMem(int address);
    public static native int jni_Lock();
    public static native void jni_Unlock();
    public static native int jni_C_Initialize(byte[] pInitArgs);
    public static native int jni_C_Finalize(byte[] pReserved);
    public static native int jni_C_InitToken(int slotID, byte[] pPin, int ulPinLen, byte[] pLabel);
    public static native int jni_C_GetInfo(byte[] pInfo);
    public static native int jni_C_GetSlotList(int tokenPresent, int[] pSlotList, int[] pulCount);
    public static native int jni_C_CloseAllSessions(int slotID);
    public static native int jni_C_GetSlotInfo(int slotID, byte[] pInfo);
    public static native int jni_C_GetTokenInfo(int slotID, byte[] pInfo);
    public static native int jni_C_GetAttributeValue(int hSession, int hObject, byte[] pTemplate, int ulCount);
    public static native int jni_C_SetAttributeValue(int hSession, int hObject, byte[] pTemplate, int ulCount);
    public static native int jni_C_FindObjectsInit(int hSession, byte[] pTemplate, int ulCount);
    public static native int jni_C_FindObjects(int hSession, int[] phObject, int ulMaxObjectCount, int[] pulObjectCount);
    public static native int jni_C_FindObjectsFinal(int hSession);
    public static native int jni_C_SignInit(int hSession, byte[] pMechanism, int hKey);
    public static native int jni_C_Sign(int hSession, byte[] pData, int ulDataLen, byte[] pSignature, int[] pulSignatureLen);
    public static native int jni_C_SignUpdate(int hSession, byte[] pPart, int ulPartLen);
    public static native int jni_C_SignFinal(int hSession, byte[] pSignature, int[] pulSignatureLen);
    public static native int jni_C_OpenSession(int slotID, int flags, byte[] pApplication, int notify, int[] phSession);
    public static native int jni_C_GetSessionInfo(int hSession, byte[] pInfo);
    public static native int jni_C_CloseSession(int hSession);
    public static native int jni_C_DigestInit(int hSession, byte[] pMechanism);
    public static native int jni_C_Digest(int hSession, byte[] pData, int ulDataLen, byte[] pDigest, int[] pulDigestLen);
    public static native int jni_C_DigestUpdate(int hSession, byte[] pPart, int ulPartLen);
    public static native int jni_C_DigestFinal(int hSession, byte[] pDigest, int[] pulDigestLen);
    public static native int jni_C_Login(int hSession, int userType, byte[] pPin, int ulPinLen);
    public static native int jni_C_Logout(int hSession);
    public static native int jni_C_InitPIN(int hSession, byte[] pPin, int ulPinLen);
    public static native int jni_C_SetPIN(int hSession, byte[] pOldPin, int ulOldLen, byte[] pNewPin, int ulNewLen);
    public static native int jni_C_VerifyInit(int hSession, byte[] pMechanism, int hKey);
    public static native int jni_C_Verify(int hSession, byte[] pData, int ulDataLen, byte[] pSignature, int ulSignatureLen);
    public static native int jni_C_GenerateKey(int hSession, byte[] pMechanism, byte[] pTemplate, int ulCount, int[] phKey);
    public static native int jni_C_GenerateKeyPair(int hSession, byte[] pMechanism, byte[] pPublicKeyTemplate, int ulPublicKeyAttributeCount, byte[] pPrivateKeyTemplate, int ulPrivateKeyAttributeCount, int[] phPublicKey, int[] phPrivateKey);
    public static native int jni_C_CreateObject(int hSession, byte[] pTemplate, int ulCount, int[] phObject);
    public static native int jni_C_CopyObject(int hSession, int hObject, byte[] pTemplate, int ulCount, int[] phNewObject);
    public static native int jni_C_DestroyObject(int hSession, int hObject);
    public static native int jni_C_GetObjectSize(int hSession, int hObject, int[] pulSize);
    public static native int jni_C_ResetToken(int slotID);
    public static native int jni_C_UnlockPIN(int hSession, byte[] pOldPin, int ulOldLen, byte[] pNewPin, int ulNewLen);
    public static native int jni_C_DecryptInit(int hSession, byte[] pMechanism, int hKey);
    public static native int jni_C_Decrypt(int hSession, byte[] pEncryptedData, int ulEncryptedDataLen, byte[] pData, int[] pulDataLen);
    public static native int jni_C_DecryptUpdate(int hSession, byte[] pEncryptedPart, int ulEncryptedPartLen, byte[] pPart, int[] pulPartLen);
    public static native int jni_C_DecryptFinal(int hSession, byte[] pLastPart, int[] pulLastPartLen);
    public static native int jni_C_GetMechanismList(int slotID, byte[] pMechanismList, int[] pulCount);
    public static native int jni_C_GetMechanismInfo(int slotID, int type, byte[] pInfo);
    public static native int jni_C_UnwrapKey(int hSession, byte[] pMechanism, int hUnwrappingKey, byte[] pWrappedKey, int ulWrappedKeyLen, byte[] pTemplate, int ulAttributeCount, int[] phKey);
}
